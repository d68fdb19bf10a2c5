#!/bin/sh
# Each folder of src/ may include only the layers below it (docs/architecture.md),
# and nothing in the core library may include a widgets header.
set -u
src=${1:?usage: check-layers.sh <src dir>}
status=0

# folder: the folders it may include besides itself
allowed() {
    case $1 in
    model) echo "" ;;
    log) echo "platform" ;;
    platform) echo "log" ;;
    discovery) echo "model log platform" ;;
    settings) echo "model log platform" ;;
    bridge) echo "model log platform discovery settings" ;;
    preferences) echo "model log platform discovery settings bridge" ;;
    app) echo "model log platform discovery settings bridge preferences" ;;
    launcher) echo "log platform" ;;
    *) echo "?" ;;
    esac
}

for dir in "$src"/*/; do
    folder=$(basename "$dir")
    ok=$(allowed "$folder")
    for file in "$dir"*.h "$dir"*.cpp; do
        [ -f "$file" ] || continue
        for used in $(sed -n 's|^#include "\([a-z]*\)/.*|\1|p' "$file" | sort -u); do
            [ "$used" = "$folder" ] && continue
            case " $ok " in
            *" $used "*) ;;
            *)
                echo "$file includes a header of $used/"
                status=1
                ;;
            esac
        done
    done
done

for folder in model log platform discovery settings bridge; do
    if grep -n -E '#include <(QtWidgets/|QtWidgets>|QWidget>|QApplication>|QAction>|QMenu>|QSystemTrayIcon>|QMessageBox>|QDialog>|QLabel>|QPushButton>|QCheckBox>|QFileDialog>)' \
        "$src/$folder"/*.h "$src/$folder"/*.cpp; then
        echo "a widgets header in $folder/, which belongs to the core library"
        status=1
    fi
done

[ $status -eq 0 ] && echo "layers: ok"
exit $status
