// What the program knows of file systems that hold no user files, as the drive list and
// the folder walker both use it.

#include <QTest>

#include "pseudofs.h"

using fotarik::isPseudoFileSystem;
using fotarik::isPseudoMount;

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
        QCOMPARE(isPseudoMount(std::string_view(type.constData(), size_t(type.size())), "/media/daten"),
                 pseudo);
    }

    void driveListAlsoLeavesOutRunTimeMounts()
    {
        QVERIFY(isPseudoMount("tmpfs", "/run/user/1000"));
        QVERIFY(!isPseudoMount("tmpfs", "/tmp"));
        QVERIFY(isPseudoMount("squashfs", "/snap/core/1"));
        QVERIFY(!isPseudoMount("squashfs", "/media/cd"));
        QVERIFY(isPseudoMount("ext4", "/sys/fs/x"));
        QVERIFY(!isPseudoMount("ext4", "/home"));
    }

    // Where the mount table cannot be read, the walker tells the worst of them by number.
    void typeNumbersOfTheWorst()
    {
        // proc, sysfs, devpts, cgroup2
        for (const uint64_t number : {0x9fa0u, 0x62656572u, 0x1cd1u, 0x63677270u})
            QVERIFY(fotarik::isPseudoFileSystemNumber(number));
        // ext4, tmpfs, btrfs, nfs, fuse
        for (const uint64_t number : {0xef53u, 0x01021994u, 0x9123683eu, 0x6969u, 0x65735546u})
            QVERIFY(!fotarik::isPseudoFileSystemNumber(number));
    }
};

QTEST_APPLESS_MAIN(TstPseudoFs)
#include "tst_pseudofs.moc"
