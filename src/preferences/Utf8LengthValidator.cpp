#include "preferences/Utf8LengthValidator.h"

#include "bridge/BridgeText.h"

Utf8LengthValidator::Utf8LengthValidator(qsizetype maxBytes, QObject* parent)
    : QValidator(parent), m_maxBytes(maxBytes)
{
}

QValidator::State Utf8LengthValidator::validate(QString& input, int&) const
{
    return BridgeText::utf8Size(input) <= m_maxBytes ? Acceptable : Invalid;
}
