#pragma once
// A computer of an in-memory LAN running its own copy of the program: its own settings
// file and folder, the main window created on it, and helpers to drive its controls.

#include "app/chat_view.h"
#include "app/main_window.h"
#include "dialogs/options_window.h"
#include "network/memory_network.h"
#include "platform/ini_file.h"
#include "support/chat_node_probe.h"
#include "support/recording_dialogs.h"

#include <QDateTime>
#include <QLineEdit>
#include <QListView>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

namespace kalvento::test {

using platform::IniDocument;

const QString Group = QStringLiteral("WORKGROUP");
const QDateTime fixedNow(QDate(2024, 3, 5), QTime(14, 7, 9));

struct Key {
    const char* section;
    const char* key;
    QString value;
};

// One computer of the LAN with its own copy of the program.
struct Host {
    QTemporaryDir dir;
    std::unique_ptr<network::DatagramNetwork> ownedNetwork;
    network::InMemoryNetwork* network = nullptr; // set on an in-memory LAN
    std::unique_ptr<app::TMainForm> form;
    std::function<void(app::MainFormOptions&)> configure;
    // The user of this computer: what the program told and asked them, and the test's
    // script for the questions and the windows it runs modally (kept from run to run).
    std::shared_ptr<RecordingDialogs> dialogs = std::make_shared<RecordingDialogs>();

    // configure changes the options of every start (tests' hooks; recording(options) is
    // dialogs).
    Host(network::InMemoryHub& hub, const QString& computer, const std::vector<Key>& keys = {},
         QStringList arguments = {},
         std::function<void(app::MainFormOptions&)> configureOptions = {})
        : Host(std::make_unique<network::InMemoryNetwork>(hub, computer, Group), keys,
               std::move(arguments), std::move(configureOptions)) {}

    // The program on another network (a real one on loopback).
    Host(std::unique_ptr<network::DatagramNetwork> on, const std::vector<Key>& keys = {},
         QStringList arguments = {},
         std::function<void(app::MainFormOptions&)> configureOptions = {})
        : ownedNetwork(std::move(on)), configure(std::move(configureOptions)) {
        network = dynamic_cast<network::InMemoryNetwork*>(ownedNetwork.get());
        // Quiet defaults: no update checks, no time stamps, the language chosen already.
        IniDocument ini;
        ini.setValue(QStringLiteral("General"), QStringLiteral("Automatic update"), "0");
        ini.setValue(QStringLiteral("Messages"), QStringLiteral("Show message time"), "0");
        ini.setValue(QStringLiteral("Advanced"), QStringLiteral("Language index"), "0");
        for (const Key& k : keys)
            ini.setValue(QString::fromLatin1(k.section), QString::fromLatin1(k.key), k.value);
        platform::ini::save(settingsPath(), ini);
        start(std::move(arguments));
    }

    // A new run of the program on the same computer and settings.
    void start(QStringList arguments = {}) {
        form.reset();
        dialogs->clearRecords();
        app::MainFormOptions options;
        options.settingsPath = settingsPath();
        options.resourceDirectory = dir.path() + u'/';
        options.executablePath = QStringLiteral("/usr/bin/kalvento");
        options.autostartEntry = dir.filePath(QStringLiteral("autostart/kalvento.desktop"));
        options.arguments = std::move(arguments);
        options.dialogs = dialogs;
        // Files are listened for on a port of the system's choice: copies side by side (and
        // tests run at once) never compete for one.
        options.transfers.port = 0;
        if (configure)
            configure(options);
        form = std::make_unique<app::TMainForm>(*ownedNetwork, options);
        form->Chat()->setClock([] { return fixedNow; });
    }

    QString settingsPath() const { return dir.filePath(QStringLiteral("Options.ini")); }
    QString logPath() const { return dir.filePath(QStringLiteral("log.rtf")); }
    IniDocument ini() const { return platform::ini::load(settingsPath()); }
    void setKey(const char* section, const char* key, const QString& value) {
        IniDocument document = ini();
        document.setValue(QString::fromLatin1(section), QString::fromLatin1(key), value);
        platform::ini::save(settingsPath(), document);
    }

    // The options window, driven by drive in the user's place: true for OK.
    void options(std::function<bool(dialogs::TOptionsIkkuna&)> drive) {
        dialogs->onModal<dialogs::TOptionsIkkuna>(QStringLiteral("OptionsIkkuna"),
                                                  std::move(drive));
        form->btnOptionsClick();
    }

    app::TMainForm& operator*() { return *form; }
    app::TMainForm* operator->() { return form.get(); }

    QString chat() const { return form->Chat()->toPlainText(); }
    // The list of computers as its view shows it.
    QAbstractItemModel& listModel() const { return *form->Computers()->model(); }
    QModelIndex entry(int row) const { return listModel().index(row, 0); }
    QStringList listTexts() const {
        QStringList texts;
        for (int i = 0; i < listModel().rowCount(); ++i)
            texts.append(entry(i).data().toString());
        return texts;
    }
    int row(const QString& text) const { return int(listTexts().indexOf(text)); }
    Qt::CheckState checkState(int row) const {
        return entry(row).data(Qt::CheckStateRole).value<Qt::CheckState>();
    }
    void setCheckState(int row, Qt::CheckState state) {
        listModel().setData(entry(row), state, Qt::CheckStateRole);
    }
    Qt::ItemFlags flags(int row) const { return entry(row).flags(); }
    // Makes the entry the list's current one (none for -1), as a right click on it does.
    void select(int row) {
        form->Computers()->selectionModel()->setCurrentIndex(entry(row),
                                                             QItemSelectionModel::ClearAndSelect);
    }
    void tick(const QString& text, bool on = true) {
        const int at = row(text);
        ASSERT_GE(at, 0) << text.toStdString();
        setCheckState(at, on ? Qt::Checked : Qt::Unchecked);
    }
    void type(const QString& text) {
        QTest::keyClicks(form->Message(), text);
        QTest::keyClick(form->Message(), Qt::Key_Return);
    }
};

// The recording user a Host gives its program, from inside configure.
inline RecordingDialogs& recording(app::MainFormOptions& options) {
    return dynamic_cast<RecordingDialogs&>(*options.dialogs);
}

// Hands every waiting datagram to its window until the LAN is quiet.
void pump(network::InMemoryHub& hub, const std::vector<Host*>& hosts) {
    for (int round = 0; round < 100; ++round) {
        const quint64 before = hub.deliveredCount();
        for (Host* host : hosts)
            ChatNodeProbe(host->form->node()).receive();
        // The receipts of what was received go out as the event loop would send them.
        for (Host* host : hosts)
            ChatNodeProbe(host->form->node()).session().sendReceipts();
        if (hub.deliveredCount() == before)
            return;
    }
    FAIL() << "the LAN never went quiet";
}

} // namespace kalvento::test
