// The window's translation, built into every program that shows a window.
#pragma once

#include <QCoreApplication>

namespace translations {

// Installs the Chinese translation of the window's texts into `app`, whatever
// the user's locale: the window has always been in Chinese. Standard error
// keeps the English source texts. False if the translation is not in the
// program (a build fault): the window then shows the English.
bool Install(QCoreApplication& app);

} // namespace translations
