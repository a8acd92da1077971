#include "desktop/window_language.h"

#include "relay/relay_phrases.h"

#include <QCoreApplication>
#include <QTranslator>
#include <memory>

namespace lumenpost {
namespace {

constexpr auto kEnglish = ":/i18n/lumenpost_en.qm";

// Where a log line's phrase starts: after its "<count>:", else at the start.
qsizetype PhraseStart(const QString& line) {
    qsizetype digits = 0;
    while (digits < line.size() && line.at(digits).isDigit()) {
        ++digits;
    }
    return digits > 0 && digits < line.size() && line.at(digits) == u':' ? digits + 1 : 0;
}

} // namespace

bool InstallWindowLanguage(QCoreApplication& app, const QLocale& locale) {
    if (locale.language() == QLocale::Chinese) {
        return false;
    }
    auto english = std::make_unique<QTranslator>();
    if (!english->load(QString::fromLatin1(kEnglish))) {
        return false;
    }
    english->setParent(&app); // the application owns it from here
    QCoreApplication::installTranslator(english.release());
    return true;
}

QString ShownLine(const QString& line) {
    const qsizetype start = PhraseStart(line);
    for (const char* phrase : kRelayPhrases) {
        const QString source = QString::fromUtf8(phrase);
        if (QStringView(line).sliced(start).startsWith(source)) {
            return line.left(start) + QCoreApplication::translate(kRelayPhraseContext, phrase) +
                   line.sliced(start + source.size());
        }
    }
    return line;
}

} // namespace lumenpost
