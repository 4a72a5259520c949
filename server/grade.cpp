#include "grade.h"

#include <QJsonObject>

#include <algorithm>
#include <cmath>

Grade Grade::fromState(const QJsonValue& state, double possible)
{
    Grade grade;
    const QJsonValue checks = state.toObject().value(QLatin1String("checks"));
    const QJsonArray list = checks.toArray();
    double sum = 0;
    for (int i = 0; i < list.size(); ++i) {
        const QJsonObject check = list.at(i).toObject();
        const QJsonValue name = check.value(QLatin1String("name"));
        const bool passed = check.value(QLatin1String("passed")).toBool(false);
        const double points = check.value(QLatin1String("points")).toDouble(0);
        if (passed && std::isfinite(points) && points > 0)
            sum += points;
        grade.feedback.append(QJsonArray{
            (name.isString() ? name.toString() : QStringLiteral("Check %1").arg(i + 1))
                + (passed ? QStringLiteral(": passed") : QStringLiteral(": failed")),
            check.value(QLatin1String("detail")).toString(),
        });
    }
    // Fractional points need not add up exactly (0.1 ten times is just below 1).
    const double tolerance = 1e-9 * std::max(1.0, possible);
    grade.earned = sum >= possible - tolerance ? possible : sum;
    grade.complete = grade.earned >= possible;
    return grade;
}
