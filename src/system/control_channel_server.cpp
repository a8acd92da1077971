#include "system/control_channel.h"

#include "system/control_channel_connection.h"
#include "system/control_channel_listener.h"

#include <QSocketNotifier>
#include <utility>

namespace lumenpost {

ControlServer::ControlServer(Handler handler, std::chrono::milliseconds idleLimit)
    : handler_(std::move(handler)), idleLimit_(idleLimit) {}

ControlServer::~ControlServer() = default;

std::optional<QString> ControlServer::Listen(const QString& path) {
    acceptNotifier_.reset();
    listener_.reset();
    auto listener = std::make_unique<ControlListener>();
    if (auto error = listener->Open(path)) {
        return error;
    }
    listener_ = std::move(listener);
    acceptNotifier_ = std::make_unique<QSocketNotifier>(listener_->Handle(), QSocketNotifier::Read);
    QObject::connect(acceptNotifier_.get(), &QSocketNotifier::activated, acceptNotifier_.get(),
                     [this] { Accept(); });
    return std::nullopt;
}

// One connection per readiness notice; the notifier fires again while more wait.
// Finished connections are dropped here rather than from their own slots.
void ControlServer::Accept() {
    UniqueFd fd = listener_->Accept();
    if (!fd.Valid()) {
        return;
    }
    std::erase_if(connections_, [](const auto& connection) { return connection->Finished(); });
    if (connections_.size() >= kControlConnectionLimit) {
        return; // closed at once by fd's holder
    }
    connections_.push_back(
        std::make_shared<ControlConnection>(std::move(fd), handler_, fileHandler_, idleLimit_));
}

} // namespace lumenpost
