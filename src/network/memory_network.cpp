#include "network/memory_network.h"

#include "network/datagram_frame.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <vector>

namespace kalvento::network {

using platform::SystemError;

namespace {

QString folded(const QString& name) {
    return name.toCaseFolded();
}

class InMemoryReceiver;

} // namespace

struct InMemoryHubState {
    std::vector<InMemoryReceiver*> receivers; // open receivers, one per computer
    int copiesPerDelivery = 1;
    quint32 maxDatagramSize = kMaxDatagramSize;
    quint64 delivered = 0;
};

namespace {

class InMemoryReceiver : public DatagramReceiver {
public:
    InMemoryReceiver(std::shared_ptr<InMemoryHubState> state, const QString& computer,
                     QString group, QString name)
        : m_state(std::move(state)), m_computer(folded(computer)), m_groupName(std::move(group)),
          m_group(folded(m_groupName)), m_name(std::move(name)), m_foldedName(folded(m_name)) {
        m_state->receivers.push_back(this);
    }

    ~InMemoryReceiver() override {
        auto& list = m_state->receivers;
        std::erase(list, this);
    }

    QString name() const override { return m_name; }
    quint32 pendingCount() const override { return quint32(m_queue.size()); }
    quint32 nextSize() const override {
        return m_queue.empty() ? 0 : quint32(m_queue.front().bytes.size());
    }

    quint32 read(char* buffer, quint32 capacity) override {
        if (m_queue.empty())
            throw SystemError(EAGAIN);
        const Queued& next = m_queue.front();
        if (quint32(next.bytes.size()) > capacity)
            throw SystemError(EMSGSIZE);
        const auto size = quint32(next.bytes.size());
        if (size > 0)
            std::memcpy(buffer, next.bytes.constData(), size);
        m_lastSource = next.sender;
        m_lastSenderComputer = wireName(next.sender);
        m_lastTarget = next.target;
        m_queue.pop_front();
        return size;
    }
    QString lastSource() const override { return m_lastSource; }
    QByteArray lastSenderComputer() const override { return m_lastSenderComputer; }
    QByteArray lastTarget() const override { return m_lastTarget; }

    const QString& computer() const { return m_computer; }
    const QString& group() const { return m_group; }
    const QString& groupName() const { return m_groupName; }
    const QString& foldedName() const { return m_foldedName; }
    bool answersWalks() const { return m_answersWalks; }
    void setAnswersWalks(bool answers) { m_answersWalks = answers; }
    void enqueue(QByteArrayView datagram, const QString& sender, const QByteArray& target) {
        m_queue.push_back({datagram.toByteArray(), sender, target});
        if (m_notify)
            m_notify();
    }
    bool setArrivalNotifier(std::function<void()> notify) override {
        m_notify = std::move(notify);
        return true;
    }

private:
    std::function<void()> m_notify;
    std::shared_ptr<InMemoryHubState> m_state;
    QString m_computer; // folded
    QString m_groupName;
    QString m_group; // folded
    QString m_name;
    QString m_foldedName;
    bool m_answersWalks = true;
    struct Queued {
        QByteArray bytes;
        QString sender;    // the sending computer's name
        QByteArray target; // as a frame would carry it
    };
    std::deque<Queued> m_queue;
    QString m_lastSource;
    QByteArray m_lastSenderComputer;
    QByteArray m_lastTarget;
};

} // namespace

InMemoryHub::InMemoryHub() : m_state(std::make_shared<InMemoryHubState>()) {}
InMemoryHub::~InMemoryHub() = default;

void InMemoryHub::setCopiesPerDelivery(int copies) {
    m_state->copiesPerDelivery = std::max(1, copies);
}
int InMemoryHub::copiesPerDelivery() const {
    return m_state->copiesPerDelivery;
}
void InMemoryHub::setMaxDatagramSize(quint32 size) {
    m_state->maxDatagramSize = size;
}
quint32 InMemoryHub::maxDatagramSize() const {
    return m_state->maxDatagramSize;
}
quint64 InMemoryHub::deliveredCount() const {
    return m_state->delivered;
}

InMemoryNetwork::InMemoryNetwork(InMemoryHub& hub, QString computerName, QString groupName)
    : m_state(hub.m_state), m_computerName(std::move(computerName)),
      m_groupName(std::move(groupName)) {}

InMemoryNetwork::~InMemoryNetwork() = default;

std::unique_ptr<DatagramReceiver> InMemoryNetwork::openReceiver(const QString& mailslotName) {
    const QString computer = folded(m_computerName);
    for (const InMemoryReceiver* open : m_state->receivers) {
        if (open->computer() == computer)
            throw SystemError(EADDRINUSE);
    }
    auto receiver =
        std::make_unique<InMemoryReceiver>(m_state, m_computerName, m_groupName, mailslotName);
    receiver->setAnswersWalks(m_answersWalks);
    return receiver;
}

void InMemoryNetwork::setAnswersWalks(bool answers) {
    m_answersWalks = answers;
    const QString computer = folded(m_computerName);
    for (InMemoryReceiver* receiver : m_state->receivers)
        if (receiver->computer() == computer)
            receiver->setAnswersWalks(answers);
}

Reach InMemoryNetwork::reach(const QString& computerName) const {
    const QString computer = folded(computerName);
    if (computer == folded(m_computerName))
        return Reach::Confirmed;
    for (const InMemoryReceiver* receiver : m_state->receivers)
        if (receiver->computer() == computer)
            return receiver->answersWalks() ? Reach::Confirmed : Reach::Heard;
    return Reach::Unknown;
}

QString InMemoryNetwork::targetOf(AddressKind kind, const QString& receiverName) const {
    switch (kind) {
    case AddressKind::LocalComputer:
        return folded(m_computerName);
    case AddressKind::PrimaryGroup:
        return folded(m_groupName);
    case AddressKind::Named:
        break;
    }
    return folded(receiverName);
}

void InMemoryNetwork::send(AddressKind kind, const QString& receiverName,
                           const QString& mailslotName, QByteArrayView datagram) {
    if (quint32(datagram.size()) > m_state->maxDatagramSize)
        throw SystemError(EMSGSIZE);
    const QString target = targetOf(kind, receiverName);
    if (const auto failure = m_failures.find(target); failure != m_failures.end()) {
        const int errorNumber = failure.value();
        m_failures.erase(failure);
        throw SystemError(errorNumber);
    }
    ++m_sendCounts[target];
    ++m_totalSends;

    const QString slot = folded(mailslotName);
    const QByteArray wireTarget = wireName(kind == AddressKind::LocalComputer  ? m_computerName
                                           : kind == AddressKind::PrimaryGroup ? m_groupName
                                                                               : receiverName);
    const QString ownComputer = folded(m_computerName);
    for (InMemoryReceiver* receiver : m_state->receivers) {
        bool addressed = false;
        switch (kind) {
        case AddressKind::LocalComputer:
            addressed = receiver->computer() == ownComputer;
            break;
        case AddressKind::PrimaryGroup:
            addressed = receiver->group() == target;
            break;
        case AddressKind::Named:
            addressed = receiver->computer() == target || receiver->group() == target;
            break;
        }
        if (!addressed || receiver->foldedName() != slot)
            continue;
        for (int copy = 0; copy < m_state->copiesPerDelivery; ++copy) {
            receiver->enqueue(datagram, m_computerName, wireTarget);
            ++m_state->delivered;
        }
    }
}

QStringList InMemoryNetwork::queryGroups(std::chrono::milliseconds, std::stop_token) {
    QStringList groups;
    for (const InMemoryReceiver* receiver : m_state->receivers)
        if (receiver->answersWalks())
            groups.append(receiver->groupName());
    return groups;
}

quint32 InMemoryNetwork::maxDatagramSize() const {
    return m_state->maxDatagramSize;
}

void InMemoryNetwork::failNextSend(const QString& target, int errorNumber) {
    m_failures.insert(folded(target), errorNumber);
}

int InMemoryNetwork::sendCount(const QString& target) const {
    return m_sendCounts.value(folded(target));
}

} // namespace kalvento::network
