#pragma once

#include <QValidator>

// Accepts a text of at most maxBytes bytes of UTF-8. A change that would go
// beyond is refused whole, so no character or combined character is split.
class Utf8LengthValidator : public QValidator {
    Q_OBJECT
public:
    explicit Utf8LengthValidator(qsizetype maxBytes, QObject* parent = nullptr);

    qsizetype maxBytes() const { return m_maxBytes; }

    State validate(QString& input, int& pos) const override;

private:
    const qsizetype m_maxBytes;
};
