// Queues calls from any thread onto the main (Qt) thread; the caller never
// waits for them.
#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <functional>

inline bool IsMainThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// Runs aCall later on the main thread's event loop (also when called from it).
// aContext, when given, cancels the call if that object is gone by then.
inline void QueueMainThreadCall(std::function<void()> aCall, QObject* aContext = nullptr)
{
    QObject* target = aContext ? aContext : QCoreApplication::instance();
    if (!target)
        return;
    QMetaObject::invokeMethod(target, std::move(aCall), Qt::QueuedConnection);
}
