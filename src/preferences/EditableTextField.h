#pragma once

#include <QLineEdit>

class QKeyEvent;

// A line edit that answers the six standard editing shortcuts itself (cut,
// copy, paste, undo, select all, redo), whether or not some menu or window
// action claims the same keys. A shortcut counts only with exactly its own
// modifiers; with any other modifier held, the key goes to QLineEdit as usual.
// While not being edited, a name too long for the field is shown elided.
class EditableTextField : public QLineEdit {
    Q_OBJECT
public:
    // Qt reports the Mac Command key as Control, so Control plays its part.
    const Qt::KeyboardModifiers commandKey = Qt::ControlModifier;
    const Qt::KeyboardModifiers commandShiftKey = Qt::ControlModifier | Qt::ShiftModifier;
    // Every modifier bit Qt reports (Shift, Control, Alt, Meta, keypad, group switch).
    const Qt::KeyboardModifiers flagsMask = Qt::KeyboardModifierMask;

    explicit EditableTextField(QWidget* parent = nullptr);

    // Accepts no more than maxBytes bytes of UTF-8; a paste is cut to what
    // fits, on a grapheme boundary.
    void setMaxUtf8Bytes(qsizetype maxBytes);

    // Answers whether the event was one of the six shortcuts and the field
    // performed its action; false leaves the event to QLineEdit.
    bool performKeyEquivalent(QKeyEvent* event);

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    enum class Action { None, Cut, Copy, Paste, Undo, SelectAll, Redo };

    Action actionFor(const QKeyEvent* event) const;
    bool canPerform(Action action) const;
    void perform(Action action);
    void pasteFitting();

    qsizetype m_maxUtf8Bytes = -1; // -1: no limit
};
