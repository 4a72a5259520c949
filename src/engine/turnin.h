#pragma once

#include "engine/receipts.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>

#include <optional>

class ServerCheck;

// One test or turn-in from the check before it to the receipt after it. The engine holds one
// while it lives, as it holds a ScriptRun while a script runs; it goes with its run's end.
class TurnIn : public QObject {
public:
    explicit TurnIn(QObject* parent)
        : QObject(parent)
    {
    }

    // The receipt of the post's answer; the kept result of its problem and mode is sent.
    void recordAnswer(const QVariantMap& result);
    // The receipt of a post that got no answer to record. verdictUnknown: the server may not have
    // recorded it, and the result stays kept; otherwise it was refused and the kept result goes.
    void recordFailure(const QString& reason, bool verdictUnknown);
    // The receipt of a post whose answer was lost but which the catalogue shows arrived.
    void recordArrived(const QVariantMap& standing);

    // The post in flight: what it sends, for whom, and the attempts seen before it.
    KeptResult posted;
    // The post sends a kept result again, which stays kept as it was should it fail.
    bool again = false;
    // A kept result waiting for the catalogue check before it is sent again.
    std::optional<KeptResult> toSend;
    // The check of the problem's servers before a turn-in; null when none is under way.
    QPointer<ServerCheck> serverCheck;

private:
    void append(Receipt receipt);
};
