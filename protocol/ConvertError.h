// The error every codec operation raises when a text cannot be converted: a
// pair that is not hexadecimal, a number out of range, a value that is not a
// number. Callers catch it per frame or per data item and go on.
#pragma once

#include <QString>

#include <stdexcept>

class ConvertError : public std::runtime_error {
public:
    explicit ConvertError(const QString &message) : std::runtime_error(message.toStdString()) {}
};
