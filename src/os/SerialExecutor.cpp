#include "os/SerialExecutor.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>

SerialExecutor::SerialExecutor() : m_thread(new QThread), m_context(new QObject) {
    m_thread->setObjectName(QStringLiteral("SerialExecutor"));
    m_context->moveToThread(m_thread);
    // The context goes with the thread: deferred deletions still run when the
    // thread finishes.
    QObject::connect(m_thread, &QThread::finished, m_context, &QObject::deleteLater);
    m_thread->start();
}

SerialExecutor::~SerialExecutor() {
    // Queued after everything submitted so far, so those tasks run first.
    QThread* thread = m_thread;
    post([thread] { thread->quit(); });
    m_thread->wait();
    delete m_thread;
}

bool SerialExecutor::isCurrentThread() const {
    return QThread::currentThread() == m_thread;
}

void SerialExecutor::post(std::function<void()> job) {
    QMetaObject::invokeMethod(m_context, std::move(job), Qt::QueuedConnection);
}
