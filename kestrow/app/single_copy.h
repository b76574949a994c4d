#pragma once
// One station window per station folder. The running copy holds an exclusive
// lock on the folder's "kestrow.lock", marks burn.ini ("Open"/"Open" = "Y",
// "Open"/"Prop" = the start time) and listens on a local socket named after
// that mark; a second copy finds the lock taken, asks the first through the
// socket to come to the front and ends. A copy that died leaves a stale "Y"
// but no lock, so the next start goes ahead.
#include <QObject>

#include <string>

class QLocalServer;

namespace kestrow::app {

inline constexpr const char* kLockFile = "kestrow.lock";

class SingleCopy : public QObject {
    Q_OBJECT
public:
    explicit SingleCopy(std::string stationFolder, QObject* parent = nullptr);
    ~SingleCopy() override;

    // True when no other copy runs on the station: this copy then holds the
    // lock, has marked burn.ini and listens for later copies.
    bool Claim();
    // Asks the running copy to show its window; true when it was reached.
    bool WakeRunningCopy(int timeoutMs = 2000) const;

signals:
    void activationRequested();

private:
    std::string ServerName(const std::string& mark) const;

    std::string station_;
    int lock_fd_ = -1;
    QLocalServer* server_ = nullptr;
};

}  // namespace kestrow::app
