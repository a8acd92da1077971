#pragma once

#include <QLocale>
#include <QString>

class QCoreApplication;

namespace lumenpost {

// The window speaks Chinese, its source language, to a Chinese locale and English to any
// other. Installs the built-in English translation into `app` unless `locale` is Chinese;
// true when English is in force.
bool InstallWindowLanguage(QCoreApplication& app, const QLocale& locale = QLocale::system());

// A relay log or status line as the window shows it: its fixed phrase (at the start, or
// after the "<count>:" of a log line) in the window's language, the rest as it stands.
QString ShownLine(const QString& line);

} // namespace lumenpost
