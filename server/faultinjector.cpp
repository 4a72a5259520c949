#include "faultinjector.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {
// A whole number in [low, high], or the fallback when the member is missing.
bool wholeNumber(const QJsonObject& object, const char* name, int low, int high, int fallback, int* out)
{
    const QJsonValue value = object.value(QLatin1String(name));
    if (value.isUndefined()) {
        *out = fallback;
        return true;
    }
    const double number = value.toDouble(low - 1.0);
    if (number < low || number > high || std::floor(number) != number)
        return false;
    *out = int(number);
    return true;
}
}

bool FaultInjector::add(const QByteArray& description, QString* error)
{
    const QJsonDocument document = QJsonDocument::fromJson(description);
    const QJsonObject object = document.object();
    Rule rule;
    rule.path = object.value(QLatin1String("path")).toString();
    if (!document.isObject() || !rule.path.startsWith(QLatin1Char('/'))) {
        *error = QStringLiteral("a fault is a JSON object whose \"path\" starts with '/'");
        return false;
    }
    if (rule.path.endsWith(QLatin1Char('*'))) {
        rule.path.chop(1);
        rule.prefix = true;
    }

    const QString kind = object.value(QLatin1String("kind")).toString();
    static const std::pair<const char*, Fault::Kind> kinds[] = {
        {"status", Fault::Kind::Status},
        {"badjson", Fault::Kind::BadJson},
        {"baddecrypt", Fault::Kind::BadDecrypt},
        {"delay", Fault::Kind::Delay},
        {"drop", Fault::Kind::Drop},
        {"dropafter", Fault::Kind::DropAfter},
        {"dropbefore", Fault::Kind::DropBefore},
    };
    bool known = false;
    for (const auto& [name, value] : kinds) {
        if (kind == QLatin1String(name)) {
            rule.fault.kind = value;
            known = true;
        }
    }
    if (!known) {
        *error = QStringLiteral("\"kind\" is one of status, badjson, baddecrypt, delay, drop, dropafter, dropbefore");
        return false;
    }
    if (!wholeNumber(object, "count", 1, 1000000, 1, &rule.remaining)
        || !wholeNumber(object, "status", 100, 599, 500, &rule.fault.status)
        || !wholeNumber(object, "delay_ms", 0, 600000, 0, &rule.fault.delayMs)) {
        *error = QStringLiteral("\"count\" is 1 or more, \"status\" an HTTP status, \"delay_ms\" 0 to 600000");
        return false;
    }
    rule.fault.body = object.value(QLatin1String("body")).toString().toUtf8();

    std::lock_guard<std::mutex> lock(mutex);
    rules.push_back(std::move(rule));
    return true;
}

void FaultInjector::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    rules.clear();
}

bool FaultInjector::take(const QString& path, Fault* out)
{
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = rules.begin(); it != rules.end(); ++it) {
        if (it->prefix ? !path.startsWith(it->path) : path != it->path)
            continue;
        *out = it->fault;
        if (--it->remaining == 0)
            rules.erase(it);
        return true;
    }
    return false;
}
