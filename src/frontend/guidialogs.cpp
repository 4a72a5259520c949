#include "frontend/gui.h"

#include "engine/doctor.h"

#include <QAuthenticator>
#include <QClipboard>
#include <QGuiApplication>
#include <QListWidget>
#include <QDebug>
#include <QDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSpacerItem>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdlib>

namespace frontend {

namespace {
constexpr int newVersionBoxWidth = 450;
constexpr int setupCheckWidth = 760;
constexpr int setupCheckHeight = 460;

QString plainText(const QAbstractButton* button)
{
    return button ? button->text().remove(QLatin1Char('&')) : QString();
}
}

QAbstractButton* GUI::runModal(QDialog* dialog)
{
    auto* box = qobject_cast<QMessageBox*>(dialog);
    const int index = dialogsShown.size();
    dialogsShown.append({dialog->windowTitle(), box ? box->text() : QString(), QString()});

    // A message box knows which button closed it; other dialogs are watched.
    QPointer<QAbstractButton> clicked;
    if (!box) {
        for (QAbstractButton* button : dialog->findChildren<QAbstractButton*>())
            connect(button, &QAbstractButton::clicked, dialog, [&clicked, button] { clicked = button; });
    }
    // Looked up once the dialog is shown: a box adds its default button only then.
    if (!pendingAnswers.isEmpty()) {
        const QString answer = pendingAnswers.takeFirst();
        QTimer::singleShot(0, dialog, [dialog, answer] {
            for (QAbstractButton* button : dialog->findChildren<QAbstractButton*>()) {
                if (plainText(button) == answer) {
                    button->click();
                    return;
                }
            }
            qWarning() << "No button" << answer << "to answer" << dialog->windowTitle() << "with";
            dialog->reject();
        });
    }
    dialog->exec();

    QAbstractButton* const closedBy = box ? box->clickedButton() : clicked.data();
    dialogsShown[index].answer = plainText(closedBy);
    return closedBy;
}

QString GUI::ask(const QString& title, const QString& text, const QStringList& buttons)
{
    QMessageBox box;
    box.setWindowTitle(title);
    box.setText(text);
    QPushButton* last = nullptr;
    for (const QString& label : buttons)
        last = box.addButton(label, QMessageBox::ActionRole);
    box.setDefaultButton(last);
    return plainText(runModal(&box));
}

void GUI::alert(const QString& message)
{
    QMessageBox box;
    box.setText(message);
    runModal(&box);
}

void GUI::errorMessage(const QString& message, bool fatal)
{
    // A failure that ends the program, or that the network caused, may be the set-up's: the box
    // offers to check it.
    if (fatal || connectionFailing()) {
        if (ask(QString(), message, {checkSetupText, QStringLiteral("OK")}) == checkSetupText)
            showSetupCheck();
    } else {
        alert(message);
    }
    if (fatal) {
        qWarning() << "Ending after a fatal error:" << message;
        std::exit(1);
    }
}

bool GUI::promptRetry(const QString& message)
{
    qDebug() << message;
    return ask(QString(), message, {QStringLiteral("Retry"), QStringLiteral("Quit")}) == QLatin1String("Retry");
}

bool GUI::confirmTurnIn(const QString& question)
{
    // The last button is the default: an Enter pressed by habit spends no attempt.
    return ask(QString(), question, {QStringLiteral("Yes"), QStringLiteral("No")}) == QLatin1String("Yes");
}

void GUI::notifyNewVersion(const QString& version, const QString& url)
{
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("New Version Available"));
    // The box is only as wide as its text would make it; the address needs more.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        grid->addItem(new QSpacerItem(newVersionBoxWidth, 0, QSizePolicy::Minimum, QSizePolicy::Expanding),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
    box.setText(QStringLiteral("Please update to the newest version of oxbell (") + version
                + QStringLiteral(") available at <a href=\"") + url + QStringLiteral("\">") + url
                + QStringLiteral("</a>"));
    runModal(&box);
}

void GUI::requestProxyCredentials(QAuthenticator* authenticator)
{
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Basic Authentication Required"));
    auto* userEdit = new QLineEdit;
    auto* passwordField = new QLineEdit;
    passwordField->setEchoMode(QLineEdit::Password);
    auto* submit = new QPushButton(QStringLiteral("Submit"));
    auto* quit = new QPushButton(QStringLiteral("Quit"));

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(submit);
    buttons->addWidget(quit);
    auto* inner = new QVBoxLayout;
    inner->addWidget(twoFields(QStringLiteral("User"), userEdit, QStringLiteral("Password"), passwordField));
    inner->addWidget(boxOf(buttons));
    auto* outer = new QVBoxLayout(&dialog);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(boxOf(inner));

    keyboardOrder({userEdit, passwordField, submit, quit});
    connect(submit, &QPushButton::clicked, &dialog, &QDialog::accept);
    connect(quit, &QPushButton::clicked, this, &GUI::handleBasicAuthQuitClicked);
    runModal(&dialog);
    authenticator->setUser(userEdit->text());
    authenticator->setPassword(passwordField->text());
}

void GUI::handleCheckSetupButtonClicked()
{
    showSetupCheck();
}

void GUI::showSetupCheck()
{
    QDialog dialog;
    dialog.setWindowTitle(checkSetupText);
    dialog.resize(setupCheckWidth, setupCheckHeight);
    auto* lines = new QListWidget;
    lines->setAccessibleName(QStringLiteral("Results"));
    lines->setWordWrap(true);
    auto* summary = new QLabel(QStringLiteral("Checking..."));
    summary->setAccessibleName(summary->text());
    auto* copy = new QPushButton(QStringLiteral("Copy"));
    auto* close = new QPushButton(QStringLiteral("Close"));

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(summary, 1);
    buttons->addWidget(copy);
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(lines);
    layout->addWidget(boxOf(buttons));
    keyboardOrder({lines, copy, close});
    markFocus(&dialog);

    // Runs on the event loop while the dialog is open, so the window keeps answering.
    auto* doctor = new Doctor(Doctor::programPlaces(), &dialog);
    connect(doctor, &Doctor::checked, &dialog, [lines](const Doctor::Finding& finding) {
        static const QColor colours[] = {QColor(0x1b, 0x7a, 0x1b), QColor(0x9a, 0x5b, 0x00), QColor(0xc0, 0x10, 0x10)};
        for (const QString& line : finding.text().split(QLatin1Char('\n'))) {
            auto* item = new QListWidgetItem(line, lines);
            item->setForeground(colours[int(finding.outcome)]);
        }
        lines->scrollToBottom();
    });
    connect(doctor, &Doctor::finished, &dialog, [doctor, summary] {
        summary->setText(doctor->summary());
        summary->setAccessibleName(doctor->summary());
    });
    connect(copy, &QPushButton::clicked, &dialog, [doctor] { QGuiApplication::clipboard()->setText(doctor->report()); });
    connect(close, &QPushButton::clicked, &dialog, &QDialog::accept);
    doctor->start();
    runModal(&dialog);
}

void GUI::handleBasicAuthQuitClicked(bool)
{
    std::exit(0);
}

}
