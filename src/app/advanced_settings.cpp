#include "app/advanced_settings.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <algorithm>

namespace lumenpost {
namespace {

std::optional<qlonglong> WholeNumberIn(const QString& text, qlonglong lowest, qlonglong highest) {
    bool ok = false;
    const qlonglong value = text.trimmed().toLongLong(&ok);
    if (!ok || value < lowest || value > highest) {
        return std::nullopt;
    }
    return value;
}

// The messages stand beside the dialog's fields, so they come in the window's language.
QString RangeMessage(qlonglong lowest, qlonglong highest, const QString& unit) {
    return QCoreApplication::translate("AdvancedSettings", "请输入 %1 到 %2 之间的整数%3")
        .arg(lowest)
        .arg(highest)
        .arg(unit);
}

// "host" or "host:port", the host a name or an IPv4 address, or "[IPv6]:port".
bool IsRelayHost(const QString& text) {
    static const QRegularExpression form(
        QStringLiteral(R"(^(?:\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?)"
                       R"((?:\.[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*)(?::(\d{1,5}))?$)"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch()) {
        return false;
    }
    const QString port = match.captured(1);
    return port.isEmpty() || WholeNumberIn(port, 1, 65535).has_value();
}

bool HasControlCharacter(const QString& text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x20; });
}

class Checker {
public:
    explicit Checker(RelaySettings settings) : settings_(std::move(settings)) {}

    void MaxSize(const QString& text) {
        if (const auto mib = WholeNumberIn(text, 1, kLargestMessageMiB)) {
            settings_.maxsize = *mib * kMiB;
        } else {
            Fail(AdvancedField::maxsize,
                 RangeMessage(1, kLargestMessageMiB, QStringLiteral(" MiB")));
        }
    }
    void Deliveries(const QString& text) {
        if (const auto count = WholeNumberIn(text, 1, kMaxDeliveries)) {
            settings_.deliveries = static_cast<int>(*count);
        } else {
            Fail(AdvancedField::deliveries, RangeMessage(1, kMaxDeliveries, QString()));
        }
    }
    void Retry(const QString& text) {
        if (const auto schedule = RetrySchedule::Parse(text.toStdString())) {
            settings_.retry = *schedule;
        } else {
            Fail(
                AdvancedField::retry,
                QCoreApplication::translate(
                    "AdvancedSettings", "请输入以逗号分隔的正整数秒数，例如 60,300,900,1800,3600"));
        }
    }
    void QueueLife(const QString& text) {
        if (const auto hours = WholeNumberIn(text, 0, kLongestQueueLifeHours)) {
            settings_.queuelife = *hours * 3600;
        } else {
            Fail(AdvancedField::queuelife,
                 RangeMessage(0, kLongestQueueLifeHours,
                              QCoreApplication::translate("AdvancedSettings", " 小时")));
        }
    }
    void Tls(const QString& text) {
        if (const auto policy = ParseTlsPolicy(text.trimmed().toStdString())) {
            settings_.tls = *policy;
        } else {
            Fail(AdvancedField::tls,
                 QCoreApplication::translate("AdvancedSettings", "请选择 none、may 或 encrypt"));
        }
    }
    void RelayHost(const QString& text) {
        const QString host = text.trimmed();
        if (host.isEmpty() || IsRelayHost(host)) {
            settings_.relayhost = host;
        } else {
            Fail(AdvancedField::relayhost,
                 QCoreApplication::translate(
                     "AdvancedSettings",
                     "请输入主机名或地址，可加端口，例如 "
                     "smtp.example.com:587；留空则直接投递到收件域的邮件交换器"));
        }
    }
    void RelayUser(const QString& text) {
        if (HasControlCharacter(text)) {
            Fail(AdvancedField::relayuser,
                 QCoreApplication::translate("AdvancedSettings", "用户名不能包含控制字符"));
        } else {
            settings_.relayuser = text.trimmed();
        }
    }

    AdvancedSettingsCheck Result() && {
        AdvancedSettingsCheck check;
        check.errors = std::move(errors_);
        if (check.errors.empty()) {
            check.settings = std::move(settings_);
        }
        return check;
    }

private:
    void Fail(AdvancedField field, QString message) { errors_[field] = std::move(message); }

    RelaySettings settings_;
    std::map<AdvancedField, QString> errors_;
};

} // namespace

AdvancedSettingsText AdvancedSettingsText::From(const RelaySettings& settings) {
    // A size that is not whole MiB is shown rounded up, so that it never shrinks silently.
    const qlonglong mib = (settings.maxsize + kMiB - 1) / kMiB;
    return {QString::number(mib),
            QString::number(settings.deliveries),
            QString::fromStdString(settings.retry.ToString()),
            QString::number(settings.queuelife / 3600),
            QString::fromLatin1(TlsPolicyName(settings.tls)),
            settings.relayhost,
            settings.relayuser};
}

AdvancedSettingsCheck CheckAdvancedSettings(const AdvancedSettingsText& text,
                                            const RelaySettings& base) {
    Checker checker(base);
    // Sizes and lives shown rounded keep their exact value while left as shown.
    const AdvancedSettingsText shown = AdvancedSettingsText::From(base);
    if (text.maxsizeMiB.trimmed() != shown.maxsizeMiB) {
        checker.MaxSize(text.maxsizeMiB);
    }
    checker.Deliveries(text.deliveries);
    checker.Retry(text.retry);
    if (text.queuelifeHours.trimmed() != shown.queuelifeHours) {
        checker.QueueLife(text.queuelifeHours);
    }
    checker.Tls(text.tls);
    checker.RelayHost(text.relayhost);
    checker.RelayUser(text.relayuser);
    return std::move(checker).Result();
}

} // namespace lumenpost
