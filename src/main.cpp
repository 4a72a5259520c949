#include "log.h"
#include "engine/doctor.h"
#include "engine/runguard.h"
#include "frontend/console.h"
#include "frontend/gui.h"
#include "frontend/headless.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QSysInfo>

#include <cstdio>
#include <iostream>
#include <memory>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {
QString operatingSystemName()
{
#ifdef Q_OS_WIN
    // The log names Windows versions as it always has, by the toolkit's older version query.
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    switch (QSysInfo::windowsVersion()) {
    case QSysInfo::WV_NT:
        return QStringLiteral("Windows NT");
    case QSysInfo::WV_2000:
        return QStringLiteral("Windows 2000");
    case QSysInfo::WV_XP:
        return QStringLiteral("Windows XP");
    case QSysInfo::WV_2003:
        return QStringLiteral("Windows Server 2003, Windows Server 2003 R2, Windows Home Server, Windows XP "
                              "Professional x64 Edition (operating system version 5.2)");
    case QSysInfo::WV_VISTA:
        return QStringLiteral("Windows Vista, Windows Server 2008 (operating system version 6.0)");
    case QSysInfo::WV_WINDOWS7:
        return QStringLiteral("Windows 7, Windows Server 2008 R2 (operating system version 6.1)");
    case QSysInfo::WV_WINDOWS8:
        return QStringLiteral("Windows 8 (operating system version 6.2)");
    case QSysInfo::WV_WINDOWS8_1:
        return QStringLiteral("Windows 8.1 (operating system version 6.3)");
    default:
        return QStringLiteral("Unknown version of Windows");
    }
    QT_WARNING_POP
#else
    return QSysInfo::prettyProductName();
#endif
}

#ifdef Q_OS_WIN
void attachConsole()
{
    AllocConsole();
    std::freopen("CONIN$", "r", stdin);
    std::freopen("CONOUT$", "w", stdout);
    std::freopen("CONOUT$", "w", stderr);
}
#endif

// "oxbell -doctor": every line of the set-up check as it comes, then the summary; status 1 when a
// check failed.
int runDoctor(QCoreApplication& application)
{
    Doctor doctor(Doctor::programPlaces());
    QObject::connect(&doctor, &Doctor::checked, [](const Doctor::Finding& finding) {
        std::cout << finding.text().toUtf8().constData() << std::endl;
    });
    QObject::connect(&doctor, &Doctor::finished, &application, [&doctor] {
        std::cout << doctor.summary().toUtf8().constData() << std::endl;
        QCoreApplication::exit(doctor.failedCount() > 0 ? 1 : 0);
    });
    QMetaObject::invokeMethod(&doctor, &Doctor::start, Qt::QueuedConnection);
    return application.exec();
}

int runFrontEnd(QCoreApplication& application, Oxbell* frontEnd)
{
    std::unique_ptr<Oxbell> owner(frontEnd);
    // Started from inside the event loop: a front end that ends the run while it starts (a fatal
    // settings error) calls QCoreApplication::exit(), which does nothing before exec().
    QMetaObject::invokeMethod(owner.get(), &Oxbell::start, Qt::QueuedConnection);
    const int status = application.exec();
    owner.reset();
    return status;
}
}

int main(int argc, char** argv)
{
    openLog();
    qDebug("Operating System: %s", qUtf8Printable(operatingSystemName()));
    // Before any front end exists: the one owner of the process's signal handling, which ends every
    // script run with the client.
    runguard::install();

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromUtf8(argv[i]));

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption consoleOption(QStringLiteral("console"), QStringLiteral("Run oxbell in console mode."));
    const QCommandLineOption headlessInitOption(QStringLiteral("headless-init"),
                                                QStringLiteral("Run init for a problem in headless mode"));
    const QCommandLineOption headlessTestOption(QStringLiteral("headless-test"),
                                                QStringLiteral("Run test for a problem in headless mode"));
    const QCommandLineOption doctorOption(QStringLiteral("doctor"),
                                          QStringLiteral("Check the set-up (settings, interpreter, proxy, course "
                                                         "server) and say what is wrong."));
    const QCommandLineOption headlessResendOption(
        QStringLiteral("headless-resend"), QStringLiteral("Send the result kept from a failed headless turn-in again"));
    parser.addOption(consoleOption);
    parser.addOption(doctorOption);
    parser.addOption(headlessInitOption);
    parser.addOption(headlessTestOption);
    parser.addOption(headlessResendOption);
    // The parser's error text names the program; no application object exists yet to supply it.
    QCoreApplication::setApplicationName(QStringLiteral("oxbell"));
    parser.process(arguments);

    int status = 0;
    if (parser.isSet(doctorOption)) {
        qDebug() << "Checking the set-up";
        QCoreApplication application(argc, argv);
        status = runDoctor(application);
    } else if (parser.isSet(headlessTestOption) || parser.isSet(headlessInitOption)
               || parser.isSet(headlessResendOption)) {
        // The init run wins, as it always has; then sending a kept result again.
        using Plan = frontend::Headless::Plan;
        const Plan plan = parser.isSet(headlessInitOption) ? Plan::Init
            : parser.isSet(headlessResendOption)           ? Plan::SendAgain
                                                           : Plan::TurnIn;
        qDebug() << "Starting headless front end, init run:" << (plan == Plan::Init);
        if (plan == Plan::SendAgain)
            qDebug() << "The result kept from a failed turn-in is sent again";
        QCoreApplication application(argc, argv);
        status = runFrontEnd(application, new frontend::Headless(plan, nullptr));
    } else if (parser.isSet(consoleOption)) {
#ifdef Q_OS_WIN
        attachConsole();
#endif
        qDebug() << "Starting console front end";
        QCoreApplication application(argc, argv);
        status = runFrontEnd(application, new frontend::Console(nullptr));
    } else {
        qDebug() << "Starting graphical front end";
        // Only honoured before the application object exists: the fixed window sizes are logical
        // pixels, so on a high-resolution screen the windows grow with it instead of shrinking.
        QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
        QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
        QApplication application(argc, argv);
        // Lets the desktop match the window to its menu entry and icon.
        QGuiApplication::setDesktopFileName(QStringLiteral(OXBELL_APP_ID));
        frontend::GUI::installAccessibility();
        status = runFrontEnd(application, new frontend::GUI(nullptr));
    }
    closeLog();
    return status;
}
