#pragma once

#include <QtGlobal>
#include <array>

namespace lumenpost {

// The fixed phrases of the relay's log and status lines. The headless output prints them
// as they stand (scripts read them); the window shows them in the user's language, so they
// are marked for translation in the context below.
inline constexpr const char* kRelayPhraseContext = "RelayLines";
inline constexpr const char* kStatusRelayed = QT_TRANSLATE_NOOP("RelayLines", "电子邮件转发成功！");
inline constexpr const char* kStatusFailed = QT_TRANSLATE_NOOP("RelayLines", "电子邮件转发失败！");
inline constexpr const char* kStatusReceiving =
    QT_TRANSLATE_NOOP("RelayLines", "正在接收并转发邮件...");
inline constexpr const char* kLogRelayed = QT_TRANSLATE_NOOP("RelayLines", "邮件转发成功！");
inline constexpr const char* kLogFailed = QT_TRANSLATE_NOOP("RelayLines", "邮件转发失败！");

inline constexpr std::array<const char*, 5> kRelayPhrases = {
    kStatusRelayed, kStatusFailed, kStatusReceiving, kLogRelayed, kLogFailed};

} // namespace lumenpost
