#include "network/peer_list.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <random>

using namespace kalvento::network;

namespace {
struct PeerListTest : ::testing::Test {
    PeerListTest() { list.setOwnComputerName("OWNPC"); }
    QStringList displayTexts() const {
        QStringList texts;
        for (int i = 0; i < list.count(); ++i)
            texts.append(list.at(i).displayText);
        return texts;
    }
    PeerList list;
};
} // namespace

TEST_F(PeerListTest, GreetingsAndAnswersAddInOrderOfArrivalOnce) {
    EXPECT_TRUE(list.GreetingReceived("OWNPC", "WG", 1));
    EXPECT_TRUE(list.AnswerReceived("PC2", "WG", 2));
    EXPECT_TRUE(list.GreetingReceived("pc7", "OTHER", 7));
    // Letter case does not make a second entry; a repeated greeting changes nothing.
    EXPECT_FALSE(list.GreetingReceived("PC7", "OTHER", 7));
    EXPECT_FALSE(list.AnswerReceived("Pc2", "WG", 2));
    EXPECT_EQ(displayTexts(), QStringList({"OWNPC (@ WG)", "PC2", "pc7 (@ OTHER)"}));
    EXPECT_EQ(list.at(2).senderId, "7");
    EXPECT_EQ(list.computerNames(), QStringList({"OWNPC", "PC2", "pc7"}));
}

TEST_F(PeerListTest, ARestartedPeerTakesItsNewIdInItsOldPlace) {
    list.GreetingReceived("PC1", "WG", 1);
    list.GreetingReceived("PC2", "WG", 2);
    list.GreetingReceived("PC3", "WG", 3);
    ASSERT_TRUE(list.IdentityReceived("Bob", 2));
    list.setTicked(1, true);
    QSignalSpy changed(&list, &PeerList::entryChanged);
    QSignalSpy added(&list, &PeerList::entryAdded);
    // PC2 crashed and started again: a greeting under a new id, in any letter case.
    EXPECT_TRUE(list.GreetingReceived("pc2", "WG", 22));
    EXPECT_EQ(added.count(), 0);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(list.at(1).senderId, "22");
    EXPECT_EQ(list.at(1).computerName, "PC2");
    EXPECT_TRUE(list.at(1).ticked);
    // Its old identity is gone until the new one comes, under the new id.
    EXPECT_EQ(list.at(1).identity, QString());
    EXPECT_EQ(list.SenderName(22), "PC2");
    EXPECT_EQ(list.SenderName(2), "2");
    EXPECT_FALSE(list.IdentityReceived("Stale", 2));
    EXPECT_TRUE(list.IdentityReceived("Bob", 22));
    EXPECT_EQ(displayTexts(), QStringList({"PC1 (@ WG)", "Bob", "PC3 (@ WG)"}));
    // An answer does the same.
    EXPECT_TRUE(list.AnswerReceived("PC3", "WG", 33));
    EXPECT_EQ(list.SenderName(33), "PC3");
    EXPECT_EQ(list.CheckedCount(), 1);
}

TEST_F(PeerListTest, OwnEntryIsDisabledOnlyForTheExactName) {
    list.GreetingReceived("OWNPC", "WG", 1);
    list.GreetingReceived("ownpc2", "WG", 2);
    PeerList other;
    other.setOwnComputerName("ownpc");
    other.GreetingReceived("OWNPC", "WG", 1);
    EXPECT_FALSE(list.at(0).enabled);
    EXPECT_TRUE(list.at(1).enabled);
    EXPECT_TRUE(other.at(0).enabled); // differs in letter case only: a peer, not us
    list.setTicked(0, true);
    EXPECT_FALSE(list.at(0).ticked);
    EXPECT_EQ(list.CheckedCount(), 0);
}

TEST_F(PeerListTest, IdentitiesRenameEntriesOfKnownSenders) {
    list.GreetingReceived("PC1", "WG", 1);
    list.AnswerReceived("PC2", "WG", -2);
    list.setTicked(1, true);
    EXPECT_TRUE(list.IdentityReceived("Ann", 1));
    EXPECT_TRUE(list.IdentityReceived("Bob", -2));
    EXPECT_FALSE(list.IdentityReceived("Nobody", 99)); // a restarted peer's new identifier
    EXPECT_EQ(displayTexts(), QStringList({"Ann", "Bob"}));
    EXPECT_TRUE(list.at(1).ticked);
    // An empty identity gives the greeting form back, also for an entry added by an answer.
    EXPECT_TRUE(list.IdentityReceived("", -2));
    EXPECT_EQ(displayTexts(), QStringList({"Ann", "PC2 (@ WG)"}));
}

TEST_F(PeerListTest, SenderAndShortNames) {
    list.GreetingReceived("PC1", "WG", 1);
    list.GreetingReceived("PC2", "WG", 2);
    list.IdentityReceived("Ann", 2);
    EXPECT_EQ(list.SenderName(1), "PC1");
    EXPECT_EQ(list.SenderName(2), "Ann");
    EXPECT_EQ(list.SenderName(-12345), "-12345");
    EXPECT_EQ(list.ShortName(0), "PC1");
    EXPECT_EQ(list.ShortName(1), "Ann");
}

TEST_F(PeerListTest, TicksCountAndGoodbyesRemove) {
    QSignalSpy counts(&list, &PeerList::checkedCountChanged);
    list.GreetingReceived("PC1", "WG", 1);
    list.GreetingReceived("PC2", "WG", 2);
    list.GreetingReceived("PC3", "WG", 3);
    list.setTicked(0, true);
    list.setTicked(2, true);
    EXPECT_EQ(list.CheckedCount(), 2);
    EXPECT_TRUE(list.privateEnabled());
    EXPECT_EQ(list.tickedIndices(), QList<int>({0, 2}));

    EXPECT_FALSE(list.GoodbyeReceived("PC9"));
    EXPECT_TRUE(list.GoodbyeReceived("pc1"));
    EXPECT_EQ(list.CheckedCount(), 1);
    EXPECT_EQ(list.tickedIndices(), QList<int>({1}));
    EXPECT_TRUE(list.GoodbyeReceived("PC3"));
    EXPECT_EQ(list.CheckedCount(), 0);
    EXPECT_FALSE(list.privateEnabled());
    EXPECT_EQ(list.computerNames(), QStringList({"PC2"}));
    EXPECT_EQ(counts.count(), 4); // 1, 2, 1, 0
}

TEST_F(PeerListTest, SignalsMirrorEveryChangeForTheListControl) {
    QStringList mirror;
    QObject::connect(&list, &PeerList::entryAdded,
                     [&](int i) { mirror.insert(i, list.at(i).displayText); });
    QObject::connect(&list, &PeerList::entryChanged,
                     [&](int i) { mirror[i] = list.at(i).displayText; });
    QObject::connect(&list, &PeerList::entryRemoved, [&](int i) { mirror.removeAt(i); });
    list.GreetingReceived("PC1", "WG", 1);
    list.GreetingReceived("PC2", "WG", 2);
    list.GreetingReceived("PC3", "WG", 3);
    list.IdentityReceived("Cy", 3);
    list.GoodbyeReceived("PC2");
    EXPECT_EQ(mirror, displayTexts());
    list.clear();
    EXPECT_TRUE(mirror.isEmpty());
}

TEST_F(PeerListTest, AFloodOfNamesStopsAtTheBound) {
    for (int i = 0; i < PeerList::kMaxEntries + 10; ++i)
        list.GreetingReceived(QStringLiteral("PC%1").arg(i), "WG", i);
    EXPECT_EQ(list.count(), PeerList::kMaxEntries);
}

// The list as the item model its view shows: rows follow every change, each row's roles
// are its entry, and a view can tick an entry (but not the own one) through the model.
TEST_F(PeerListTest, TheItemModelShowsEveryEntryAndTicksThroughItsCheckState) {
    QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QStringList removedNames;
    QObject::connect(&list, &PeerList::entryRemoved,
                     [&](int, const QString& computer) { removedNames.append(computer); });
    list.GreetingReceived("OWNPC", "WG", 1);
    list.GreetingReceived("PC2", "WG", 2);
    list.AnswerReceived("PC3", "WG", 3);
    list.IdentityReceived("Bob", 2);
    list.setFriends({"BOB"});

    ASSERT_EQ(list.rowCount(), 3);
    const auto row = [&](int i) { return list.index(i); };
    EXPECT_EQ(row(1).data().toString(), "Bob");
    EXPECT_EQ(row(2).data().toString(), "PC3");
    EXPECT_EQ(row(2).data(PeerList::ComputerNameRole).toString(), "PC3");
    EXPECT_TRUE(row(1).data(PeerList::FriendRole).toBool());
    EXPECT_FALSE(row(2).data(PeerList::FriendRole).toBool());
    EXPECT_FALSE(row(0).flags() & Qt::ItemIsEnabled);
    EXPECT_TRUE(row(1).flags() & Qt::ItemIsEnabled);
    EXPECT_TRUE(row(1).flags() & Qt::ItemIsUserCheckable);

    QSignalSpy dataChanged(&list, &QAbstractItemModel::dataChanged);
    EXPECT_TRUE(list.setData(row(1), Qt::Checked, Qt::CheckStateRole));
    EXPECT_EQ(row(1).data(Qt::CheckStateRole).value<Qt::CheckState>(), Qt::Checked);
    EXPECT_EQ(list.CheckedCount(), 1);
    EXPECT_EQ(dataChanged.count(), 1);
    list.setData(row(0), Qt::Checked, Qt::CheckStateRole);
    EXPECT_EQ(row(0).data(Qt::CheckStateRole).value<Qt::CheckState>(), Qt::Unchecked);
    EXPECT_FALSE(list.setData(row(2), "renamed", Qt::EditRole));
    EXPECT_EQ(row(2).data().toString(), "PC3");

    // A friend's mark follows the friends given, in any letter case.
    list.setFriends({});
    EXPECT_FALSE(row(1).data(PeerList::FriendRole).toBool());

    // The view learns of a removal while the entry still stands; the signal names it after.
    QString aboutToGo;
    QObject::connect(
        &list, &QAbstractItemModel::rowsAboutToBeRemoved,
        [&](const QModelIndex&, int first, int) { aboutToGo = list.at(first).computerName; });
    list.GoodbyeReceived("PC2");
    EXPECT_EQ(aboutToGo, "PC2");
    EXPECT_EQ(list.rowCount(), 2);
    list.clear();
    EXPECT_EQ(list.rowCount(), 0);
    EXPECT_EQ(removedNames, QStringList({"PC2", "PC3", "OWNPC"}));
}

// The lookups by name and by sender id agree with a plain search of the list through any
// mix of arrivals, restarts under new ids (also ids that another entry has), identities and
// goodbyes, letter case and all.
TEST_F(PeerListTest, LookupsFollowEveryChangeOfTheList) {
    const auto searchName = [this](const QString& name) {
        for (int i = 0; i < list.count(); ++i)
            if (name.compare(list.at(i).computerName, Qt::CaseInsensitive) == 0)
                return i;
        return -1;
    };
    const auto searchSender = [this](qint32 id) {
        for (int i = 0; i < list.count(); ++i)
            if (list.at(i).senderId == QString::number(id))
                return i;
        return -1;
    };
    std::mt19937 random(7);
    const QStringList names = {"PC1", "pc1",    "Łódź",    "ŁÓDŹ", "café", "CAFÉ", "PC2", "PC3",
                               "pc4", "straße", "STRASSE", "PC5",  "x",    "X",    "PC6", "PC7"};
    for (int step = 0; step < 4000; ++step) {
        const QString& name = names[qsizetype(random() % quint32(names.size()))];
        const auto id = qint32(random() % 8); // few ids: entries share them
        switch (random() % 5) {
        case 0:
        case 1:
            list.GreetingReceived(name, "WG", id);
            break;
        case 2:
            list.AnswerReceived(name, "WG", id);
            break;
        case 3:
            list.IdentityReceived(QStringLiteral("who %1").arg(step), id);
            break;
        default:
            list.GoodbyeReceived(name);
            break;
        }
        for (const QString& n : names)
            ASSERT_EQ(list.indexOfComputer(n), searchName(n)) << step << " " << n.toStdString();
        for (qint32 i = 0; i < 8; ++i)
            ASSERT_EQ(list.indexOfSender(i), searchSender(i)) << step << " id " << i;
    }
    list.clear();
    EXPECT_EQ(list.indexOfComputer(u"PC1"), -1);
    EXPECT_EQ(list.indexOfSender(1), -1);
}

TEST_F(PeerListTest, EntriesThatShowOneNameAreToldApartUntilOneGoes) {
    QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::Fatal);
    const auto shown = [this](int i) {
        return list.data(list.index(i), Qt::DisplayRole).toString();
    };
    list.GreetingReceived("PC1", "WG", 1);
    list.GreetingReceived("PC2", "WG", 2);
    list.GreetingReceived("PC3", "WG", 3);
    list.setTrust("PC1", PeerTrust::Pinned, "11111");
    list.IdentityReceived("Alice", 1);
    EXPECT_EQ(shown(0), "Alice");
    EXPECT_EQ(list.SenderName(1), "Alice");

    // A second "alice", in any letter case: both carry what tells them apart, the key's
    // first digits or, without a key, the computer name; their lines name them so too.
    QSignalSpy changes(&list, &PeerList::dataChanged);
    list.IdentityReceived("alice", 2);
    EXPECT_EQ(shown(0), "Alice [11111]");
    EXPECT_EQ(shown(1), "alice [PC2]");
    EXPECT_EQ(list.SenderName(2), "alice [PC2]");
    EXPECT_GE(changes.size(), 2); // the first Alice is redrawn as well
    // A computer whose name another shows as its identity is part of it too.
    list.IdentityReceived("pc3", 1);
    EXPECT_EQ(shown(0), "pc3 [11111]");
    EXPECT_EQ(shown(1), "alice");
    EXPECT_EQ(shown(2), "PC3 (@ WG) [PC3]");
    // A state of the key shows with the name.
    list.setTrust("PC3", PeerTrust::Changed, "33333");
    EXPECT_EQ(shown(2), QStringLiteral("\u26A0 PC3 (@ WG) [33333]"));
    list.setTrust("PC3", PeerTrust::Verified, "33333");
    EXPECT_EQ(shown(2), QStringLiteral("PC3 (@ WG) [33333] \u2713"));

    // Gone, restarted without its identity, or renamed: the name is one entry's again.
    list.GoodbyeReceived("PC3");
    EXPECT_EQ(shown(0), "pc3");
    list.IdentityReceived("Bob", 2);
    list.IdentityReceived("Bob", 1);
    EXPECT_EQ(shown(0), "Bob [11111]");
    list.GreetingReceived("PC1", "WG", 10);
    EXPECT_EQ(shown(0), "PC1 (@ WG)");
    EXPECT_EQ(shown(1), "Bob");
    list.clear();
    list.GreetingReceived("PC2", "WG", 2);
    list.IdentityReceived("Bob", 2);
    EXPECT_EQ(shown(0), "Bob");
}
