#pragma once
#include <QByteArray>
#include <QList>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

// A scripted device on the master side of a pseudo-terminal: every request the tool sends (bytes
// up to an END byte) takes the next queued reply; with none queued the device stays silent.
class PtyPeer
{
public:
    struct Piece
    {
        QByteArray bytes;
        int delayMs = 0;  // waited before the piece is written
    };

    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool isReady() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }
    // A slave descriptor held by the peer so the pair survives the tool's close; never read.
    int holderFd() const { return m_holder; }

    void queueReply(const QByteArray& bytes) { queueReply(QList<Piece>{{bytes, 0}}); }
    void queueReply(const QList<Piece>& pieces);
    void queueSilence() { queueReply(QList<Piece>{}); }
    void setByteAtATime(bool on) { m_byteAtATime = on; }
    // Written at once, outside the request/reply order.
    void send(const QByteArray& bytes);

    QList<QByteArray> requests() const;
    bool waitForRequests(int n, int timeoutMs) const;

    // The device is gone: the master side closes and the tool's line hangs up.
    void hangUp();

private:
    void run();
    void writeOut(const QByteArray& bytes);

    int m_master = -1;
    int m_holder = -1;
    QString m_slavePath;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_byteAtATime{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    QList<QList<Piece>> m_replies;
    QList<QByteArray> m_requests;
};
