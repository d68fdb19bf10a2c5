#pragma once

#include <QString>

#include <memory>

class QLockFile;

// The lock that marks a running Corvane when there is no session bus to own
// its name on. Corvane holds it for its whole run; the login helper only
// looks at it, so the helper can never get in the way of Corvane taking it.
class InstanceLock {
public:
    // <runtime dir>/org.corvane.Corvane.lock; without a runtime directory,
    // the same name in the per-user cache folder. Never a fixed name in /tmp.
    static QString defaultPath();

    explicit InstanceLock(QString path = defaultPath());
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    QString path() const { return m_path; }

    // Takes the lock without waiting; a lock left by a dead process is broken.
    // False when another live process holds it or the file cannot be made.
    bool tryLock();
    void unlock();
    bool isLocked() const;

    // True when a live process on this machine (this one included) holds the
    // lock. A lock file that cannot be read counts as not held: a needless
    // launch of Corvane is harmless, as its own lock turns it away.
    bool isHeld() const;

private:
    QString m_path;
    std::unique_ptr<QLockFile> m_lock;
};
