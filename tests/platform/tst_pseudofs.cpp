// The one list of file systems that hold no user files, as the drive list and the folder
// walker both use it.

#include <QTest>

#include "pseudofs.h"
#include "volumes.h"

using fotarik::isPseudoFileSystem;

class TstPseudoFs : public QObject
{
    Q_OBJECT

private slots:
    void kernelAndRuntimeFileSystems_data()
    {
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<bool>("pseudo");
        for (const char* t :
             {"proc",      "sysfs",     "devtmpfs",        "devpts",     "cgroup",   "cgroup2",    "mqueue",
              "debugfs",   "tracefs",   "securityfs",      "pstore",     "bpf",      "configfs",   "fusectl",
              "hugetlbfs", "autofs",    "binfmt_misc",     "nsfs",       "efivarfs", "rpc_pipefs", "nfsd",
              "ramfs",     "selinuxfs", "fuse.gvfsd-fuse", "fuse.portal"})
            QTest::newRow(t) << QByteArray(t) << true;
        for (const char* t : {"ext4", "btrfs", "xfs", "vfat", "exfat", "ntfs3", "nfs", "nfs4", "cifs",
                              "tmpfs", "overlay", "fuse.sshfs", "fuseblk", "iso9660", "", "PROC", "proc "})
            QTest::newRow(*t ? t : "(empty)") << QByteArray(t) << false;
    }
    void kernelAndRuntimeFileSystems()
    {
        QFETCH(QByteArray, type);
        QFETCH(bool, pseudo);
        QCOMPARE(isPseudoFileSystem(std::string_view(type.constData(), size_t(type.size()))), pseudo);
        // The drive list decides by the same list wherever the file system is mounted.
        QCOMPARE(fotarik::isPseudoFileSystem(type, QByteArrayLiteral("/media/daten")), pseudo);
    }

    void driveListAlsoLeavesOutRunTimeMounts()
    {
        QVERIFY(fotarik::isPseudoFileSystem(QByteArrayLiteral("tmpfs"), QByteArrayLiteral("/run/user/1000")));
        QVERIFY(!fotarik::isPseudoFileSystem(QByteArrayLiteral("tmpfs"), QByteArrayLiteral("/tmp")));
        QVERIFY(fotarik::isPseudoFileSystem(QByteArrayLiteral("ext4"), QByteArrayLiteral("/sys/fs/x")));
    }
};

QTEST_APPLESS_MAIN(TstPseudoFs)
#include "tst_pseudofs.moc"
