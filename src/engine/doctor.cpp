// The set-up check's sequence and report: which check runs when, which are skipped after a
// failure, and the helpers the local and the network checks share.

#include "engine/doctor.h"
#include "engine/oxbell.h"
#include "log.h"

#include <QCoreApplication>
#include <QSslCertificate>
#include <QTimer>

namespace {
const QString tryAgain = QStringLiteral("Fix the failure above first, then check again.");

// Which earlier checks a check needs: when one of them failed, it is skipped.
QList<Doctor::Check> prerequisites(Doctor::Check check)
{
    switch (check) {
    case Doctor::Proxy:
    case Doctor::YourServers:
        return {Doctor::Settings};
    case Doctor::ServerAddress:
        return {Doctor::Settings, Doctor::Proxy};
    case Doctor::ServerConnection:
        return {Doctor::ServerAddress};
    case Doctor::ServerCertificate:
        return {Doctor::ServerConnection, Doctor::CertificateAuthority};
    case Doctor::ServerProtocol:
        return {Doctor::ServerCertificate};
    case Doctor::Clock:
        return {Doctor::ServerProtocol};
    default:
        return {};
    }
}
}

QString Doctor::quoted(const QString& text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QString Doctor::day(const QDateTime& time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-dd"));
}

bool Doctor::isNamedProxy(const QNetworkProxy& proxy)
{
    return proxy.type() == QNetworkProxy::HttpProxy || proxy.type() == QNetworkProxy::Socks5Proxy;
}

QString Doctor::certificateName(const QSslCertificate& certificate)
{
    const QStringList names = certificate.subjectInfo(QSslCertificate::CommonName);
    return names.isEmpty() ? certificate.subjectDisplayName() : names.first();
}

QString Doctor::checkName(Check check)
{
    static const QStringList names{QStringLiteral("settings"),
                                   QStringLiteral("log"),
                                   QStringLiteral("interpreter"),
                                   QStringLiteral("certificate authority"),
                                   QStringLiteral("proxy"),
                                   QStringLiteral("server address"),
                                   QStringLiteral("server connection"),
                                   QStringLiteral("server certificate"),
                                   QStringLiteral("server protocol"),
                                   QStringLiteral("your servers"),
                                   QStringLiteral("clock")};
    return names.value(check);
}

QString Doctor::Finding::text() const
{
    static const QString tags[] = {QStringLiteral("ok  "), QStringLiteral("warn"), QStringLiteral("FAIL")};
    QString line = tags[int(outcome)] + QLatin1Char(' ') + checkName(check) + QStringLiteral(": ") + found;
    if (outcome != Outcome::Ok)
        line += QStringLiteral("\n    ") + advice;
    return line;
}

Doctor::Places Doctor::programPlaces()
{
    return {QCoreApplication::applicationDirPath(), Oxbell::settingsDir(), logFilePath()};
}

Doctor::Doctor(const Places& where, QObject* parent)
    : QObject(parent)
    , places(where)
{
}

void Doctor::start()
{
    results.clear();
    done = false;
    current = -1;
    next();
}

int Doctor::failedCount() const
{
    return int(std::count_if(results.begin(), results.end(),
                             [](const Finding& finding) { return finding.outcome == Outcome::Fail; }));
}

int Doctor::passedCount() const
{
    return results.size() - failedCount();
}

QString Doctor::summary() const
{
    return QStringLiteral("%1 passed, %2 failed").arg(passedCount()).arg(failedCount());
}

QString Doctor::report() const
{
    QString text;
    for (const Finding& finding : results)
        text += finding.text() + QLatin1Char('\n');
    return text + summary() + QLatin1Char('\n');
}

bool Doctor::failed(Check check) const
{
    return std::any_of(results.begin(), results.end(), [check](const Finding& finding) {
        return finding.check == check && finding.outcome == Outcome::Fail;
    });
}

void Doctor::next()
{
    if (++current >= CheckCount) {
        done = true;
        qDebug() << "Set-up check:" << summary();
        emit finished();
        return;
    }
    const auto check = Check(current);
    for (Check needed : prerequisites(check)) {
        if (failed(needed)) {
            Finding finding{check, Outcome::Fail,
                            QStringLiteral("(skipped: the ") + checkName(needed) + QStringLiteral(" check failed)"),
                            tryAgain, true};
            results.append(finding);
            emit checked(finding);
            next();
            return;
        }
    }
    using Step = void (Doctor::*)();
    static const Step steps[CheckCount] = {&Doctor::checkSettings,
                                           &Doctor::checkLog,
                                           &Doctor::checkInterpreter,
                                           &Doctor::checkCertificateAuthority,
                                           &Doctor::checkProxy,
                                           &Doctor::checkServerAddress,
                                           &Doctor::checkServerConnection,
                                           &Doctor::checkServerCertificate,
                                           &Doctor::checkServerProtocol,
                                           &Doctor::checkYourServers,
                                           &Doctor::checkClock};
    (this->*steps[check])();
}

void Doctor::finish(Outcome outcome, const QString& found, const QString& advice)
{
    const Finding finding{Check(current), outcome, found, advice, false};
    qDebug() << "Set-up check:" << finding.text();
    results.append(finding);
    emit checked(finding);
    // Later, from the event loop: a check that ended at once does not nest the next one.
    QTimer::singleShot(0, this, &Doctor::next);
}
