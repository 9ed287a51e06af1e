#pragma once
#include <QMetaObject>
#include <QObject>

#include "link_session.h"

// Hands a link's replies, emitted in its receive thread, to an object of the GUI
// thread only while that link is still the one they came from: what a closed link's
// thread queued before its close is dropped there, however soon the next link opens.
class LinkReplies {
public:
    explicit LinkReplies(const LinkSession& session) : session_(&session) {}

    // Like a queued QObject::connect, with the link checked at delivery. The session
    // is the link manager's, which joins the receive thread before it goes; events
    // still queued then go with `receiver`, which the window destroys with it.
    template <class Sender, class... Args, class Receiver, class... SlotArgs>
    QMetaObject::Connection connect(Sender* sender, void (Sender::*signal)(Args...), Receiver* receiver,
                                    void (Receiver::*slot)(SlotArgs...)) const {
        const LinkSession* session = session_;
        return QObject::connect(
            sender, signal, receiver,
            [session, receiver, slot](Args... args) {
                const unsigned from = session->current();
                QMetaObject::invokeMethod(
                    receiver,
                    [=] {
                        if (session->current() == from) (receiver->*slot)(args...);
                    },
                    Qt::QueuedConnection);
            },
            Qt::DirectConnection);
    }

private:
    const LinkSession* session_;
};
