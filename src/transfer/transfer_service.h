#pragma once
// Files and folders between current copies of the chat: the offer goes through the chat
// (sealed for the one computer), the files over one TCP connection per transfer,
// authenticated with both identity keys and encrypted as one stream. The receiver connects
// to the sender's port (the sender connects back when that fails), asks for the first chunk
// it lacks of each file, and writes into the save folder (save_folder.h). Interrupted
// transfers resume by themselves: each side keeps its transfers in a small state file and
// the receiver connects again when the sender is heard again. The work runs on threads of
// its own; this object lives on the thread of the ChatNode it serves and tells its owner
// what happens through the signals below.

#include "transfer/transfer_info.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

namespace kalvento::messaging {
class ChatNode;
}

namespace kalvento::transfer {

struct TransferOptions {
    QString saveFolder; // where accepted files go
    // The TCP port listened on (the owner gives the chat's port by default); 0 lets the
    // system choose one (tests).
    quint16 port = 0;
    // The address listened on (host order); 0: KALVENTO_BIND_ADDRESS, else every address.
    quint32 bindAddress = 0;
    bool acceptFromFriends = false; // friends with a pinned or verified key: no question
    QStringList friends;            // identities, as the chat's friends
    // The folder of the state files (this copy's outgoing and incoming transfers).
    QString stateFolder;
};

// Made after the node has its identity key (the connections are proved with it).
class TransferService : public QObject {
    Q_OBJECT
public:
    TransferService(messaging::ChatNode& node, TransferOptions options, QObject* parent = nullptr);
    ~TransferService() override;

    // Takes new options; a changed port is listened on from now on.
    void setOptions(const TransferOptions& options);
    const TransferOptions& options() const;
    // Why the port cannot be listened on (another program has it); empty when it is.
    QString listenError() const;
    quint16 listeningPort() const;

    // Offers paths (files and folders) to each computer: one transfer per computer. Each
    // computer it cannot go to comes back with the reason (not a current copy with a known
    // key, a key that changed and waits for the user, not listed). An error for the paths
    // themselves (unreadable, too many files) comes back in error with nothing offered.
    struct OfferResult {
        QList<TransferId> offered;
        QList<QPair<QString, QString>> refused; // computer, reason for the user
        QString error;
    };
    OfferResult sendFiles(const QStringList& paths, const QStringList& computers);
    // Why files cannot go to computer, or empty when they can.
    QString cannotSendTo(const QString& computer) const;

    // The user's answer to an offer (Asking). An empty folder takes the save folder.
    // accept fails, with the reason, when the folder cannot be used or lacks the space.
    QString accept(const TransferId& id, const QString& folder = {});
    void decline(const TransferId& id);
    void pause(const TransferId& id);
    void resume(const TransferId& id);
    void cancel(const TransferId& id);
    // Forgets a finished transfer (the panel's "Clear").
    void forget(const TransferId& id);

    QList<TransferInfo> transfers() const;
    std::optional<TransferInfo> transfer(const TransferId& id) const;

signals:
    // An offer came that the user is to answer (state Asking).
    void offerReceived(const kalvento::transfer::TransferInfo& info);
    // Anything of a transfer changed: state, progress (at most a few times a second).
    void transferChanged(const kalvento::transfer::TransferInfo& info);
    // A transfer ended: Done, Declined, Cancelled or Failed (once each).
    void transferFinished(const kalvento::transfer::TransferInfo& info);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace kalvento::transfer
