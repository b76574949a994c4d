#include "kestrow/app/single_copy.h"

#include "kestrow/config/private_profile.h"
#include "kestrow/config/station_startup.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>

namespace kestrow::app {
namespace {

constexpr const char* kWakeMessage = "front\n";

}  // namespace

SingleCopy::SingleCopy(std::string stationFolder, QObject* parent)
    : QObject(parent), station_(std::move(stationFolder)) {}

SingleCopy::~SingleCopy() {
    if (lock_fd_ >= 0) ::close(lock_fd_);
}

std::string SingleCopy::ServerName(const std::string& mark) const {
    // The mark has only second resolution; the folder tells two stations apart.
    return "kestrow-" + std::to_string(::getuid()) + "-" + std::to_string(std::hash<std::string>{}(station_)) +
           "-" + mark;
}

bool SingleCopy::Claim() {
    const std::string lockPath = station_ + "/" + kLockFile;
    lock_fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    // A station folder this user cannot write still gets one window only: an
    // existing lock file is locked through a read-only descriptor, else a
    // lock file for the folder in the temporary folder stands in.
    if (lock_fd_ < 0) lock_fd_ = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (lock_fd_ < 0) {
        std::error_code ec;
        std::filesystem::path real = std::filesystem::weakly_canonical(station_, ec);
        std::string name = "kestrow-" + std::to_string(std::hash<std::string>{}(real.string())) + ".lock";
        std::filesystem::path stand_in = std::filesystem::temp_directory_path(ec) / name;
        lock_fd_ = ::open(stand_in.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    }
    if (lock_fd_ < 0) return true;  // nowhere to lock: the station runs unguarded
    if (::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
        ::close(lock_fd_);
        lock_fd_ = -1;
        return false;
    }
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char mark[64];
    std::snprintf(mark, sizeof mark, "%02d%02d%02d%02d%02d", local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec);
    const std::string burnIni = station_ + "/" + config::kBurnIniFile;
    config::WriteProfileString(burnIni, "Open", "Open", std::string("Y"));
    config::WriteProfileString(burnIni, "Open", "Prop", std::string(mark));

    server_ = new QLocalServer(this);
    const QString name = QString::fromStdString(ServerName(mark));
    QLocalServer::removeServer(name);
    if (server_->listen(name)) {
        connect(server_, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket* socket = server_->nextPendingConnection()) {
                connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
                emit activationRequested();
            }
        });
    }
    return true;
}

bool SingleCopy::WakeRunningCopy(int timeoutMs) const {
    const std::string burnIni = station_ + "/" + config::kBurnIniFile;
    if (config::ReadProfileString(burnIni, "Open", "Open") != "Y") return false;
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(ServerName(config::ReadProfileString(burnIni, "Open", "Prop"))));
    if (!socket.waitForConnected(timeoutMs)) return false;
    socket.write(kWakeMessage);
    socket.waitForBytesWritten(timeoutMs);
    socket.disconnectFromServer();
    return true;
}

}  // namespace kestrow::app
