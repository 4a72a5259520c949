#include "frontend/gui.h"
#include "engine/names.h"
#include "engine/settingsfile.h"

#include <QDebug>
#include <QHBoxLayout>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStatusBar>
#include <QVBoxLayout>

namespace frontend {

namespace {
const QString& serversKey = JsonKey::servers;
const QString& addressKey = JsonKey::address;
const QString& portKey = JsonKey::port;
const QString& proxyKey = JsonKey::proxy;
const QString& userSettingsFile = SettingsFileName::user;
constexpr int listButtonSize = 18;
constexpr int listButtonMargin = 5;
constexpr int listButtonStretch = 5;
}

void GUI::handleSettingsButtonClicked()
{
    // One window at a time: its members are this object's.
    if (settingsWindow && settingsWindow->isVisible()) {
        settingsWindow->raise();
        settingsWindow->activateWindow();
        return;
    }
    if (settingsWindow)
        closeSettingsWindow();

    settingsWindow = new QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::CustomizeWindowHint);
    centre(settingsWindow, settingsWidth, settingsHeight);
    settingsWindow->setWindowModality(Qt::WindowModal);

    serverList = new QListWidget;
    serverList->setSelectionMode(QAbstractItemView::SingleSelection);
    serverList->setAccessibleName(QStringLiteral("Servers"));
    serverNameEdit = new QLineEdit;
    serverAddressEdit = new QLineEdit;
    serverPortEdit = new QLineEdit;
    addServerButton = new QPushButton(QStringLiteral("+"));
    deleteServerButton = new QPushButton(QStringLiteral("-"));
    addServerButton->setFixedSize(listButtonSize, listButtonSize);
    deleteServerButton->setFixedSize(listButtonSize, listButtonSize);
    // "+" and "-" say little when spoken or seen out of context.
    addServerButton->setAccessibleName(QStringLiteral("Add server"));
    deleteServerButton->setAccessibleName(QStringLiteral("Delete server"));
    addServerButton->setToolTip(addServerButton->accessibleName());
    deleteServerButton->setToolTip(deleteServerButton->accessibleName());
    saveButton = new QPushButton(QStringLiteral("Save"));
    applyButton = new QPushButton(QStringLiteral("Apply"));
    closeButton = new QPushButton(QStringLiteral("Close"));

    auto* listButtons = new QHBoxLayout;
    listButtons->setContentsMargins(listButtonMargin, listButtonMargin, listButtonMargin, listButtonMargin);
    listButtons->addWidget(addServerButton);
    listButtons->addWidget(deleteServerButton);
    listButtons->addStretch(listButtonStretch);
    auto* listArea = new QVBoxLayout;
    listArea->setSpacing(0);
    listArea->addWidget(serverList);
    listArea->addWidget(boxOf(listButtons));
    auto* editor = new QVBoxLayout;
    editor->addWidget(boxOf(listArea));
    editor->addWidget(fieldLabel(QStringLiteral("Server Name"), serverNameEdit));
    editor->addWidget(serverNameEdit);
    editor->addWidget(fieldLabel(QStringLiteral("Server Address"), serverAddressEdit));
    editor->addWidget(serverAddressEdit);
    editor->addWidget(fieldLabel(QStringLiteral("Server Port"), serverPortEdit));
    editor->addWidget(serverPortEdit);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(saveButton);
    buttons->addWidget(applyButton);
    buttons->addWidget(closeButton);
    auto* window = new QVBoxLayout(settingsWindow);
    window->addWidget(richLabel(QStringLiteral("<b>Servers</b>")));
    window->addWidget(boxOf(editor));
    window->addWidget(boxOf(buttons));
    keyboardOrder({serverList, addServerButton, deleteServerButton, serverNameEdit, serverAddressEdit, serverPortEdit,
                   saveButton, applyButton, closeButton});
    markFocus(settingsWindow);
    // The window has no title to name it by.
    settingsWindow->setAccessibleName(QStringLiteral("Settings"));

    for (QWidget* widget :
         std::initializer_list<QWidget*>{deleteServerButton, serverNameEdit, serverAddressEdit, serverPortEdit})
        widget->setEnabled(false);

    const QVariantMap servers = userSettings.value(serversKey).toMap();
    for (auto server = servers.begin(); server != servers.end(); ++server) {
        auto* item = new QListWidgetItem(server.key());
        item->setData(Qt::UserRole, server.value());
        serverList->addItem(item);
    }

    connect(serverList, &QListWidget::itemSelectionChanged, this, &GUI::handleSettingsServerSelectionChanged);
    connect(addServerButton, &QPushButton::clicked, this, &GUI::handleSettingsServerAddButtonClicked);
    connect(deleteServerButton, &QPushButton::clicked, this, &GUI::handleSettingsServerDeleteButtonClicked);
    connect(serverNameEdit, &QLineEdit::textChanged, this, &GUI::handleServerNameChanged);
    connect(saveButton, &QPushButton::clicked, this, &GUI::handleSettingsSaveButtonClicked);
    connect(applyButton, &QPushButton::clicked, this, &GUI::handleSettingsApplyButtonClicked);
    connect(closeButton, &QPushButton::clicked, this, &GUI::handleSettingsCloseButtonClicked);

    currentServerItem = nullptr;
    showFitted(settingsWindow);
}

void GUI::closeSettingsWindow()
{
    settingsWindow->close();
    settingsWindow->deleteLater();
    settingsWindow = nullptr;
    serverList = nullptr;
    currentServerItem = nullptr;
    serverNameEdit = nullptr;
    serverAddressEdit = nullptr;
    serverPortEdit = nullptr;
    addServerButton = nullptr;
    deleteServerButton = nullptr;
    saveButton = nullptr;
    applyButton = nullptr;
    closeButton = nullptr;
}

void GUI::writeBackCurrentServer()
{
    QVariantMap server = currentServerItem->data(Qt::UserRole).toMap();
    server.insert(addressKey, serverAddressEdit->text());
    server.insert(portKey, serverPortEdit->text());
    // The item drops a value that compares equal to the one it holds, and the number 27017
    // compares equal to the text "27017": cleared first, so the fields' text is what stays.
    currentServerItem->setData(Qt::UserRole, QVariant());
    currentServerItem->setData(Qt::UserRole, server);
}

void GUI::handleSettingsServerSelectionChanged()
{
    const QList<QListWidgetItem*> selected = serverList->selectedItems();
    if (selected.isEmpty())
        return;
    QListWidgetItem* item = selected.first();
    for (QWidget* widget :
         std::initializer_list<QWidget*>{deleteServerButton, serverNameEdit, serverAddressEdit, serverPortEdit})
        widget->setEnabled(true);
    if (currentServerItem && currentServerItem != item)
        writeBackCurrentServer();
    // Current before the name field is filled, so filling it renames nothing but this entry.
    currentServerItem = item;
    const QVariantMap server = item->data(Qt::UserRole).toMap();
    serverNameEdit->setText(item->text());
    serverAddressEdit->setText(server.value(addressKey).toString());
    serverPortEdit->setText(server.value(portKey).toString());
}

void GUI::handleServerNameChanged(QString changedTo)
{
    if (currentServerItem)
        currentServerItem->setText(changedTo);
}

void GUI::handleSettingsServerAddButtonClicked()
{
    const int number = nextServerNumber++;
    auto* item = new QListWidgetItem(QStringLiteral("newServer") + QString::number(number));
    item->setData(Qt::UserRole, QVariantMap{{addressKey, QString()}, {portKey, QString()}});
    serverList->addItem(item);
    serverList->setCurrentItem(item);
    serverNameEdit->setFocus(Qt::OtherFocusReason);
}

void GUI::handleSettingsServerDeleteButtonClicked()
{
    if (!currentServerItem)
        return;
    const QString answer = ask(QStringLiteral("Are you sure?"),
                               QStringLiteral("Are you sure you want to delete the entry for ")
                                   + currentServerItem->text() + QLatin1Char('?'),
                               {QStringLiteral("Yes"), QStringLiteral("No")});
    // The window may have gone while the question was open.
    if (answer != QLatin1String("Yes") || !currentServerItem)
        return;
    serverNameEdit->clear();
    serverAddressEdit->clear();
    serverPortEdit->clear();
    QListWidgetItem* const item = currentServerItem;
    currentServerItem = nullptr;
    delete item;
    if (serverList->count() == 0) {
        for (QWidget* widget :
             std::initializer_list<QWidget*>{deleteServerButton, serverNameEdit, serverAddressEdit, serverPortEdit})
            widget->setEnabled(false);
        return;
    }
    serverList->setCurrentItem(serverList->item(0));
}

QVariantMap GUI::collectSettings()
{
    QVariantMap settings = userSettings;
    if (!serverList)
        return settings;
    if (serverList->count() > 0 && currentServerItem)
        writeBackCurrentServer();
    QVariantMap servers;
    // Entries of the same name leave one server, the later entry's.
    for (int row = 0; row < serverList->count(); ++row) {
        const QListWidgetItem* item = serverList->item(row);
        servers.insert(item->text(), item->data(Qt::UserRole));
    }
    settings.insert(serversKey, servers);
    return settings;
}

void GUI::saveSettings(const QVariantMap& settings)
{
    userSettings = settings;
    const QByteArray text = QJsonDocument::fromVariant(settings).toJson();
    // Replaced whole or not at all: the file also holds the proxy settings, and may hold their
    // credentials.
    SettingsFile file(settingsDir() + QLatin1Char('/') + userSettingsFile);
    file.setOwnerOnly(true);
    if (!file.write(text)) {
        qWarning() << "Saving user settings failed:" << file.path() << file.errorString();
        errorMessage(QStringLiteral("Couldn't open file to save settings."), false);
        return;
    }
    if (statusBar)
        statusBar->showMessage(QStringLiteral("Settings saved"), savedMessageMs);
}

void GUI::handleSettingsSaveButtonClicked()
{
    saveSettings(collectSettings());
    if (settingsWindow)
        closeSettingsWindow();
}

void GUI::handleSettingsApplyButtonClicked()
{
    saveSettings(collectSettings());
}

void GUI::handleSettingsCloseButtonClicked()
{
    const QVariantMap collected = collectSettings();
    QJsonObject inWindow = QJsonObject::fromVariantMap(collected);
    const QJsonObject inFile = QJsonObject::fromVariantMap(getSettings(userSettingsFile));
    // The proxy is not edited here: a difference in it is no change of the window's.
    if (inFile.contains(proxyKey))
        inWindow.insert(proxyKey, inFile.value(proxyKey));
    if (QJsonDocument(inWindow) != QJsonDocument(inFile)
        && ask(QStringLiteral("Save changes?"), QStringLiteral("You have unsaved changes. Would you like to save?"),
               {QStringLiteral("Yes"), QStringLiteral("No")})
            == QLatin1String("Yes"))
        saveSettings(collected);
    if (settingsWindow)
        closeSettingsWindow();
}

}
