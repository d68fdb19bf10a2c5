#include "preferences/EditableTextField.h"

#include "bridge/BridgeText.h"
#include "preferences/Utf8LengthValidator.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

namespace {

// QLineEdit keeps this much room between the frame's contents and the text.
constexpr int kHorizontalTextMargin = 2;

} // namespace

EditableTextField::EditableTextField(QWidget* parent) : QLineEdit(parent) {}

void EditableTextField::setMaxUtf8Bytes(qsizetype maxBytes)
{
    m_maxUtf8Bytes = maxBytes;
    setValidator(new Utf8LengthValidator(maxBytes, this));
}

void EditableTextField::pasteFitting()
{
    if (m_maxUtf8Bytes < 0) {
        paste();
        return;
    }
    // The validator would refuse an oversized paste whole; take what fits.
    QString kept = text();
    if (hasSelectedText())
        kept.remove(selectionStart(), selectedText().size());
    const QString clip = QGuiApplication::clipboard()->text();
    insert(BridgeText::cutToUtf8Bytes(clip, m_maxUtf8Bytes - BridgeText::utf8Size(kept)));
}

EditableTextField::Action EditableTextField::actionFor(const QKeyEvent* event) const
{
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride)
        return Action::None;
    const Qt::KeyboardModifiers modifiers = event->modifiers() & flagsMask;
    if (modifiers == commandKey) {
        switch (event->key()) {
        case Qt::Key_X:
            return Action::Cut;
        case Qt::Key_C:
            return Action::Copy;
        case Qt::Key_V:
            return Action::Paste;
        case Qt::Key_Z:
            return Action::Undo;
        case Qt::Key_A:
            return Action::SelectAll;
        default:
            return Action::None;
        }
    }
    if (modifiers == commandShiftKey && event->key() == Qt::Key_Z)
        return Action::Redo;
    return Action::None;
}

// Whether the field can take the action now; when it cannot, the key goes on
// to QLineEdit, as a responder chain would pass on an action nobody takes.
bool EditableTextField::canPerform(Action action) const
{
    const bool canChange = !isReadOnly();
    const bool mayExpose = echoMode() == QLineEdit::Normal;
    switch (action) {
    case Action::Cut:
        return canChange && mayExpose;
    case Action::Copy:
        return mayExpose;
    case Action::Paste:
    case Action::Undo:
    case Action::Redo:
        return canChange;
    case Action::SelectAll:
        return true;
    case Action::None:
        break;
    }
    return false;
}

void EditableTextField::perform(Action action)
{
    switch (action) {
    case Action::Cut:
        cut();
        break;
    case Action::Copy:
        copy();
        break;
    case Action::Paste:
        pasteFitting();
        break;
    case Action::Undo:
        undo();
        break;
    case Action::SelectAll:
        selectAll();
        break;
    case Action::Redo:
        redo();
        break;
    case Action::None:
        break;
    }
}

bool EditableTextField::performKeyEquivalent(QKeyEvent* event)
{
    if (event->type() != QEvent::KeyPress)
        return false;
    const Action action = actionFor(event);
    if (!canPerform(action))
        return false;
    perform(action);
    return true;
}

bool EditableTextField::event(QEvent* event)
{
    // Claim our six keys before any window or application shortcut sees them.
    if (event->type() == QEvent::ShortcutOverride) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (canPerform(actionFor(key))) {
            key->accept();
            return true;
        }
    }
    return QLineEdit::event(event);
}

void EditableTextField::keyPressEvent(QKeyEvent* event)
{
    if (performKeyEquivalent(event)) {
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

void EditableTextField::paintEvent(QPaintEvent* event)
{
    const QString full = text();
    if (hasFocus() || full.isEmpty() || echoMode() != QLineEdit::Normal) {
        QLineEdit::paintEvent(event);
        return;
    }
    QStyleOptionFrame option;
    initStyleOption(&option);
    QRect textRect = style()->subElementRect(QStyle::SE_LineEditContents, &option, this);
    textRect = textRect.marginsRemoved(textMargins());
    textRect.adjust(kHorizontalTextMargin, 0, -kHorizontalTextMargin, 0);
    const QFontMetrics metrics = fontMetrics();
    if (metrics.horizontalAdvance(full) <= textRect.width()) {
        QLineEdit::paintEvent(event);
        return;
    }
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &painter, this);
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter,
                     metrics.elidedText(full, Qt::ElideRight, textRect.width()));
}
