#pragma once

#include <QJsonArray>
#include <QJsonValue>

// The grade that a grading script's result state earns. The state is
// {"checks": [{"name": str, "passed": bool, "points": number, "detail": str}, ...]}: the points of
// the passed checks add up, capped at the problem's possible points; anything else earns nothing.
struct Grade {
    double earned = 0;
    bool complete = false;
    // One [summary, detail] pair per check, in the script's order.
    QJsonArray feedback;

    static Grade fromState(const QJsonValue& state, double possible);
};
