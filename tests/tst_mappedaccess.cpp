#include "files/mappedaccess.h"

#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#include <sys/mman.h>
#include <unistd.h>
#endif

// The guard of mapped files takes a fault of its own maps and nothing else.
class TestMappedAccess : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void guard_data();
    void guard();
};

namespace {

enum class Fault { TruncatedMap, RaisedByKill, OutsideTheMaps, AfterAnotherHandler };

#ifndef Q_OS_WIN
int otherHandlerCalls = 0;
int restoreFd = -1;
constexpr long twoPages = 8192;

// Stands for a handler another library installed: counts, and for a fault puts the file's
// bytes back so that the access goes on.
void otherHandler(int, siginfo_t *info, void *)
{
    ++otherHandlerCalls;
    if (info->si_code > 0 && restoreFd >= 0)
        (void)ftruncate(restoreFd, twoPages);
}

void installOtherHandler()
{
    struct sigaction action
    {
    };
    action.sa_sigaction = otherHandler;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
}
#endif

} // namespace

Q_DECLARE_METATYPE(Fault)

void TestMappedAccess::guard_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<bool>("taken");
    QTest::addColumn<int>("passedOn");
    QTest::newRow("a page of a truncated map") << Fault::TruncatedMap << true << 0;
#ifndef Q_OS_WIN
    QTest::newRow("sent by kill, not a fault") << Fault::RaisedByKill << false << 1;
    QTest::newRow("a fault outside the maps given") << Fault::OutsideTheMaps << false << 1;
    QTest::newRow("a handler set after the guard") << Fault::AfterAnotherHandler << true << 0;
#endif
}

void TestMappedAccess::guard()
{
    QFETCH(Fault, fault);
    QFETCH(bool, taken);
#ifdef Q_OS_WIN
    Q_UNUSED(fault)
    // What a network share that went away raises on the next page of the map.
    static char page[4096];
    const bool completed = accessMappedFiles({{page, sizeof page}}, [] {
        const ULONG_PTR information[] = {0, reinterpret_cast<ULONG_PTR>(page + 100), 0};
        RaiseException(EXCEPTION_IN_PAGE_ERROR, 0, 3, information);
    });
    QCOMPARE(!completed, taken);
#else
    QFETCH(int, passedOn);
    QTemporaryFile file;
    QVERIFY(file.open());
    QVERIFY(file.resize(twoPages));
    const int fd = file.handle();
    void *mapped = mmap(nullptr, twoPages, PROT_READ, MAP_SHARED, fd, 0);
    QVERIFY(mapped != MAP_FAILED);
    const auto *bytes = static_cast<const volatile char *>(mapped);
    static const char elsewhere[16] = {};

    installOtherHandler();
    if (fault == Fault::AfterAnotherHandler) {
        accessMappedFiles({}, [] {});
        installOtherHandler();
        QLoggingCategory::setFilterRules(QStringLiteral("aktualizator.files.warning=true"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("another handler had taken SIGBUS"));
    }
    otherHandlerCalls = 0;
    restoreFd = fd;
    QVERIFY(file.resize(fault == Fault::RaisedByKill ? twoPages : 0));
    const MappedRange range = fault == Fault::OutsideTheMaps ? MappedRange {elsewhere, 16}
                                                             : MappedRange {mapped, twoPages};
    const bool completed = accessMappedFiles({range}, [&] {
        if (fault == Fault::RaisedByKill)
            ::raise(SIGBUS);
        else
            (void)bytes[twoPages - 1];
    });
    restoreFd = -1;
    QLoggingCategory::setFilterRules(QString());
    munmap(mapped, twoPages);
    QCOMPARE(!completed, taken);
    QCOMPARE(otherHandlerCalls, passedOn);
#endif
}

QTEST_GUILESS_MAIN(TestMappedAccess)
#include "tst_mappedaccess.moc"
