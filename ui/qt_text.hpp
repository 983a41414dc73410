// Texts for the windows: every caption, hint and message is looked up by its
// English wording first, then handed to Qt.
#pragma once

#include <QString>
#include <string>

#include "lang/format.hpp"
#include "lang/translate.hpp"

namespace lk::ui {

// The looked-up text.
inline QString T(const char* english) {
    return QString::fromUtf8(translate(english));
}
// The looked-up format, formatted.
template <class... A>
QString TF(const char* english, const A&... a) {
    return QString::fromStdString(format(translate(english), a...));
}
inline QString Q(const std::string& text) {
    return QString::fromStdString(text);
}
inline std::string S(const QString& text) {
    return text.toStdString();
}

}  // namespace lk::ui
