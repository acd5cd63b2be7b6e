#include "testutil.h"
#include "version/componentarguments.h"
#include "version/version.h"

#include <QtTest>

#include <ctime>

using Versions = QMap<QString, quint32>;

namespace {

// Central European rules written out, so the test needs no tz database.
constexpr char testZone[] = "CET-1CEST,M3.5.0,M10.5.0/3";

int offsetAt(int month, int day, int hour)
{
    return QDateTime(QDate(2013, month, day), QTime(hour, 0), Qt::LocalTime).offsetFromUtc();
}

} // namespace

class TestVersion : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void parseVersion_data();
    void parseVersion();
    void formatVersion_data();
    void formatVersion();
    void componentArguments_data();
    void componentArguments();
};

void TestVersion::initTestCase()
{
    QVERIFY2(QLocale::system().monthName(3, QLocale::ShortFormat) == QLatin1String("Mar"),
        qPrintable(QLatin1String("system locale has no English month names: ")
            + QLocale::system().name()));
    // Winter, summer, and both sides of the spring change at 02:00 on 31 March 2013.
    QVERIFY2(offsetAt(1, 15, 12) == 3600 && offsetAt(7, 15, 12) == 7200
            && offsetAt(3, 31, 1) == 3600 && offsetAt(3, 31, 3) == 7200,
        "local time zone is not the fixed Central European zone");
    QCOMPARE(localMidnight(2013, 3, 15), quint32(1363302000));
}

void TestVersion::parseVersion_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<quint32>("expected");
    QTest::addColumn<QString>("shown");

    const quint32 march15 = localMidnight(2013, 3, 15);
    const quint32 unreadable = unreadableVersion;
    const struct
    {
        const char *name;
        const char *text;
        quint32 expected;
        const char *shown;
    } rows[] = {
        {"WELOR", "2.4b15032013", march15, "15/Mar/13"},
        {"WELOR", "b15032013", march15, "15/Mar/13"},
        {"WELOR", "2.4b15032013b7", march15, "15/Mar/13"},
        {"WELOR", "b29022012", localMidnight(2012, 2, 29), "29/Feb/12"},
        // The clocks change in the night after 30 March and after 26 October 2013.
        {"WELOR", "b31032013", localMidnight(2013, 3, 31), "31/Mar/13"},
        {"WELOR", "b01042013", localMidnight(2013, 4, 1), "01/Apr/13"},
        {"WELOR", "b27102013", localMidnight(2013, 10, 27), "27/Oct/13"},
        {"WELOR", "b28102013", localMidnight(2013, 10, 28), "28/Oct/13"},
        {"WELOR", "b02011970", 82800, "02/Jan/70"},
        {"WELOR", "b07022106", localMidnight(2106, 2, 7), "07/Feb/06"}, // last one in 32 bits
        {"WELOR", "b08022106", unreadable, "07/Feb/06"},
        {"WELOR", "b01011970", unreadable, "07/Feb/06"}, // local midnight is 1969 in UTC
        {"WELOR", "b01011969", unreadable, "07/Feb/06"},
        {"WELOR", "b31022013", unreadable, "07/Feb/06"},
        {"WELOR", "b29022013", unreadable, "07/Feb/06"},
        {"WELOR", "b15132013", unreadable, "07/Feb/06"},
        {"WELOR", "b1503201", unreadable, "07/Feb/06"},
        {"WELOR", "b+1032013", unreadable, "07/Feb/06"},
        {"WELOR", "bb15032013", unreadable, "07/Feb/06"},
        {"WELOR", "b15032013B7", unreadable, "07/Feb/06"}, // "B" does not end the date
        {"WELOR", "2.4B15032013", unreadable, "07/Feb/06"},
        {"WELOR", "15032013", unreadable, "07/Feb/06"},
        {"WELOR", "", unreadable, "07/Feb/06"},
        {"Raporty", "0012", 12, "01/Jan/70"},
        {"Raporty", "4294967295", 4294967295u, "07/Feb/06"},
        {"Raporty", "4294967296", 0, "01/Jan/70"},
        {"Raporty", "12a", 0, "01/Jan/70"},
        {"Raporty", "", 0, "01/Jan/70"},
        {"Raporty", "-1", 0, "01/Jan/70"},
        {"Raporty", "0x10", 0, "01/Jan/70"},
        {"welor", "2.4b15032013", 0, "01/Jan/70"},
        {"welor", "1363302000", 1363302000, "15/Mar/13"},
    };
    for (const auto &row : rows) {
        QTest::addRow("%s::%s", row.name, row.text)
            << row.name << row.text << row.expected << QString::fromLatin1(row.shown);
    }
}

void TestVersion::parseVersion()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QTEST(::parseVersion(name, text), "expected");
    QTEST(::formatVersion(::parseVersion(name, text)), "shown");
}

void TestVersion::formatVersion_data()
{
    QTest::addColumn<quint32>("value");
    QTest::addColumn<QString>("expected");

    QTest::newRow("before March 15") << quint32(1363301999) << "14/Mar/13";
    // Midnight in summer time is 22:00 UTC the day before.
    QTest::newRow("July 1") << quint32(1372629600) << "01/Jul/13";
    QTest::newRow("before July 1") << quint32(1372629599) << "30/Jun/13";
}

void TestVersion::formatVersion()
{
    QFETCH(quint32, value);
    QTEST(::formatVersion(value), "expected");
}

void TestVersion::componentArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Versions>("versions");
    QTest::addColumn<bool>("detached");

    const struct
    {
        const char *tag;
        QStringList arguments; // after the program's name
        Versions versions;
        bool detached;
    } rows[] = {
        {"no arguments", {}, {}, false},
        {"only detached", {"detached"}, {}, true},
        {"detached last", {"A::1", "detached"}, {{"A", 1}}, true},
        {"detached not last", {"detached", "A::1"}, {{"A", 1}}, false},
        {"Detached", {"Detached"}, {}, false},
        {"DETACHED", {"DETACHED"}, {}, false},
        {"detached with blank", {"detached "}, {}, false},
        {"no separator", {"Raporty", "Raporty:12"}, {}, false},
        {"empty version", {"Name::"}, {{"Name", 0}}, false},
        {"empty name", {"::5"}, {{"", 5}}, false},
        {"third piece ignored", {"Raporty::12::x"}, {{"Raporty", 12}}, false},
        {"later duplicate wins", {"A::1", "A::2"}, {{"A", 2}}, false},
        {"order by code", {"b::1", "A::2", "a::3"}, {{"A", 2}, {"a", 3}, {"b", 1}}, false},
        {"main product", {"WELOR::2.4b15032013"}, {{"WELOR", localMidnight(2013, 3, 15)}}, false},
        {"unreadable main", {"WELOR::b31022013"}, {{"WELOR", unreadableVersion}}, false},
        {"lower-case welor", {"welor::2.4b15032013"}, {{"welor", 0}}, false},
    };
    for (const auto &row : rows) {
        QTest::newRow(row.tag) << (QStringList {"aktualizator"} + row.arguments) << row.versions
                               << row.detached;
    }
    // The program's own name is never a component nor the mode word.
    QTest::newRow("name only") << QStringList {"A::1"} << Versions {} << false;
    QTest::newRow("named detached") << QStringList {"detached"} << Versions {} << false;
}

void TestVersion::componentArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(Versions, versions);
    QFETCH(bool, detached);

    const ComponentArguments parsed = parseComponentArguments(arguments);
    QCOMPARE(parsed.versions, versions);
    QCOMPARE(parsed.detached, detached);
}

int main(int argc, char *argv[])
{
    // Version values and their display depend on the zone and the locale, so pin both here
    // rather than trusting whoever runs the test.
#ifdef Q_OS_WIN
    // The C runtime takes the zone from the system settings here (support/windowszone.cpp);
    // initTestCase checks that they are the Central European ones.
    Q_UNUSED(testZone);
#else
    qputenv("TZ", testZone);
    qputenv("LC_ALL", "C");
    qputenv("LANG", "C");
    tzset();
#endif
    QCoreApplication app(argc, argv);
    TestVersion test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_version.moc"
