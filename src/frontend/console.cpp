#include "frontend/console.h"

#include <QAuthenticator>
#include <QCoreApplication>
#include <QDebug>
#include <QTreeWidgetItem>

#include <cctype>
#include <cstdlib>
#include <iostream>

namespace frontend {

Console::Console(QObject* parent)
    : Oxbell(parent)
    , rootItem(new QTreeWidgetItem(QTreeWidgetItem::Type))
    , out(std::cout)
    , err(std::cerr)
    , in(std::cin)
{
}

Console::~Console()
{
    delete rootItem;
}

void Console::start()
{
    out << "Oxbell version " << QCoreApplication::applicationVersion() << GuardedStream::endLine
        << GuardedStream::endLine;
    Oxbell::start();
}

void Console::promptLogin()
{
    out << "email> ";
    std::cout.flush();
    const QString email = readLine();
    const QString password = readPassword();
    login(email, password);
}

void Console::errorMessage(const QString& message, bool fatal)
{
    err << message << GuardedStream::endLine << GuardedStream::endLine;
    if (connectionFailing())
        err << "Run oxbell -doctor to check your setup." << GuardedStream::endLine;
    pause();
    qDebug() << message;
    if (fatal)
        std::exit(1);
}

bool Console::promptRetry(const QString& message)
{
    err << message << GuardedStream::endLine << GuardedStream::endLine;
    qDebug() << message;
    return askYesNo(QStringLiteral("Retry?> "));
}

bool Console::confirmTurnIn(const QString& question)
{
    out << GuardedStream::endLine;
    qDebug() << question;
    return askYesNo(question + QStringLiteral(" (y/n)> "));
}

bool Console::askYesNo(const QString& prompt)
{
    for (;;) {
        out << prompt;
        std::cout.flush();
        QByteArray answer = readLine().toUtf8();
        for (char& character : answer)
            character = char(std::tolower(static_cast<unsigned char>(character)));
        if (answer == "y" || answer == "yes")
            return true;
        if (answer == "n" || answer == "no")
            return false;
    }
}

void Console::showStatus(const QString& status)
{
    std::cout << status.toUtf8().constData() << std::endl;
}

void Console::alert(const QString& message)
{
    out << message << GuardedStream::endLine;
    qDebug() << message;
    pause();
}

void Console::notifyNewVersion(const QString& version, const QString& url)
{
    const QString notice = QStringLiteral("Please update to the newest version of oxbell (") + version
        + QStringLiteral(") available at ") + url;
    out << "\n" << notice << GuardedStream::endLine << GuardedStream::endLine;
    pause();
}

void Console::loginStateChanged(int state)
{
    switch (state) {
    case LoginState::Ready:
    case LoginState::Refused:
        promptLogin();
        break;
    case LoginState::LoggedIn:
        // The line break ends the password prompt's line, which the hidden Enter did not end.
        out << "\nLogin successful" << GuardedStream::endLine;
        loadCourses();
        break;
    default:
        break;
    }
}

void Console::addFeedback(const QString& summary, const QString& detail)
{
    out << GuardedStream::endLine << summary << GuardedStream::endLine;
    qDebug() << "Feedback:" << summary;
    qDebug() << "Detail: " << detail;
    if (detail.isEmpty())
        return;
    const QStringList lines = detail.split(QLatin1Char('\n'));
    for (const QString& line : lines)
        out << "---> " << line << GuardedStream::endLine;
}

void Console::clearFeedback() { }

void Console::requestProxyCredentials(QAuthenticator* authenticator)
{
    out << "Basic Authentication Required\nuser> ";
    std::cout.flush();
    const QString user = readLine();
    const QString password = readPassword();
    authenticator->setUser(user);
    authenticator->setPassword(password);
}

}
