#include "platform/instance_lock.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using namespace kalvento::platform;

namespace {

// Points the lock at a directory of the test's own, away from a running copy's lock.
class InstanceLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_wasSet = qEnvironmentVariableIsSet("XDG_RUNTIME_DIR");
        m_saved = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_dir.path()));
    }
    void TearDown() override {
        if (m_wasSet)
            qputenv("XDG_RUNTIME_DIR", m_saved);
        else
            qunsetenv("XDG_RUNTIME_DIR");
    }
    QTemporaryDir m_dir;
    bool m_wasSet = false;
    QByteArray m_saved;
};

} // namespace

TEST_F(InstanceLockTest, TheLockFileIsPerUser) {
    EXPECT_EQ(InstanceLock::lockFilePath("Kalvento"), m_dir.filePath("kalvento.lock"));
    EXPECT_EQ(InstanceLock::lockFilePath("../x y"), m_dir.filePath("___x_y.lock"));
    qunsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(InstanceLock::lockFilePath("Kalvento"),
              QStringLiteral("/tmp/kalvento-%1.lock").arg(::geteuid()));
}

TEST_F(InstanceLockTest, OneHolderUntilItGoes) {
    auto first = std::make_unique<InstanceLock>();
    ASSERT_TRUE(first->tryAcquire());
    EXPECT_TRUE(first->isHeld());
    EXPECT_TRUE(first->tryAcquire()) << "asking again keeps it";

    InstanceLock second;
    EXPECT_FALSE(second.tryAcquire());
    EXPECT_FALSE(second.isHeld());
    InstanceLock otherName;
    EXPECT_TRUE(otherName.tryAcquire(QStringLiteral("Other")));

    first.reset();
    EXPECT_TRUE(second.tryAcquire());
}

TEST_F(InstanceLockTest, AnotherProcessHoldsItUntilItDiesEvenByAKill) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        InstanceLock lock;
        const char ok = lock.tryAcquire() ? 'y' : 'n';
        [[maybe_unused]] auto w = ::write(ready[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, 'y');
    InstanceLock lock;
    EXPECT_FALSE(lock.tryAcquire());

    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(lock.tryAcquire());
    EXPECT_TRUE(lock.isHeld());
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST_F(InstanceLockTest, AFileThatIsNotOursNeverKeepsTheCopyFromStarting) {
    const QString path = InstanceLock::lockFilePath("Kalvento");
    ASSERT_TRUE(QFile::link(m_dir.filePath("elsewhere"), path));
    InstanceLock planted;
    EXPECT_TRUE(planted.tryAcquire());
    EXPECT_FALSE(planted.isHeld());
    EXPECT_FALSE(QFile::exists(m_dir.filePath("elsewhere"))) << "the link was followed";
    QFile::remove(path);

    if (::geteuid() != 0)
        GTEST_SKIP() << "giving the file to another user needs root";
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    ASSERT_EQ(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
    InstanceLock foreign;
    EXPECT_TRUE(foreign.tryAcquire());
    EXPECT_FALSE(foreign.isHeld());
}
