#include "testutil.h"
#include "updatelist/updatelistformat.h"
#include "version/version.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QtTest>

namespace {

QString line(const QString &name, const QString &version, const QString &link,
    const QString &middle = QString())
{
    return QStringLiteral("<%1><ver>%2</ver>%3<link>%4</link></%1>")
        .arg(name, version, middle, link);
}

const QString sha
    = QStringLiteral("0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789ABCDEF");

// "Łódź" in Windows-1250.
const char lodz[] = "\xA3\xF3\x64\x9F";

// Text made of the grammar's own pieces and a few others, in random order: the shapes that make
// a backtracking matcher try one split after another.
QString randomText(QRandomGenerator &random, int maxPieces)
{
    static const QStringList pieces = {"<", ">", "</", "<ver>", "</ver>", "><ver>", "<link>",
        "</link>", "</link></", "<sha256>", "</sha256>", "<size>", "</size>", "a", "Ż", " ", "\r",
        "\n", "\t", "1362096000", "2.4b15032013", "http://x/a.dll"};
    QString text;
    const int count = random.bounded(maxPieces + 1);
    for (int i = 0; i < count; ++i)
        text += pieces.at(random.bounded(int(pieces.size())));
    return text;
}

// A line that fits the grammar, with delimiters inside its texts and integrity elements (or
// broken ones) in either order.
QString wellFormedLine(QRandomGenerator &random)
{
    QString middle = randomText(random, 2);
    const QString shaElement
        = "<sha256>" + (random.bounded(2) ? sha : randomText(random, 3)) + "</sha256>";
    const QString sizeElement = "<size>" + QString::number(random.bounded(1000000)) + "</size>";
    switch (random.bounded(4)) {
    case 1:
        middle += shaElement + sizeElement;
        break;
    case 2:
        middle += sizeElement + randomText(random, 1) + shaElement;
        break;
    case 3:
        middle += shaElement.left(random.bounded(int(shaElement.size())));
        break;
    }
    return "<" + randomText(random, 4) + "><ver>" + randomText(random, 4) + "</ver>" + middle
        + "<link>" + randomText(random, 4) + "</link></" + randomText(random, 3) + ">";
}

} // namespace

class TestUpdateListFormat : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void matchingLine_data();
    void matchingLine();
    void refusedLine_data();
    void refusedLine();
    void integrity_data();
    void integrity();
    void patchElements_data();
    void patchElements();
    void lines_data();
    void lines();
    void parseList();
    void entryLimit_data();
    void entryLimit();
    void lengthLimit();
    void pathologicalLine_data();
    void pathologicalLine();
    void sameAsBacktrackingMatcher_data();
    void sameAsBacktrackingMatcher();
    void windows1250AgainstQt();
};

void TestUpdateListFormat::matchingLine_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("name");
    QTest::addColumn<quint32>("version");
    QTest::addColumn<QString>("link");

    const QString url = QStringLiteral("http://aktualizacje.welor.example/welor.exe");
    const quint32 march15 = localMidnight(2013, 3, 15);
    const struct
    {
        const char *tag;
        QString text;
        QString name;
        quint32 version;
        QString link;
    } rows[] = {
        {"main product", line("WELOR", "2.4b15032013", url), "WELOR", march15, url},
        {"no 31 February", line("WELOR", "b31022013", url), "WELOR", unreadableVersion, url},
        {"plugin", line("Raporty", "12", "r.dll"), "Raporty", 12, "r.dll"},
        {"extra element, other closing name",
            "<Raporty><ver>12</ver><extra>x</extra><link>r.dll</link></x>", "Raporty", 12, "r.dll"},
        {"empty closing name", "<Raporty><ver>12</ver><link>r.dll</link></>", "Raporty", 12,
            "r.dll"},
        {"empty link", line("A", "1", ""), "A", 1, ""},
        {"empty name", "<><ver>1</ver><link>L</link></>", "", 1, "L"},
        {"lower-case welor", line("welor", "2.4b15032013", url), "welor", 0, url},
        // Every quantifier is greedy, so each group runs to the last delimiter that still fits.
        {"greedy name", "<a><ver>1</ver><b><ver>2</ver><link>L</link></x>", "a><ver>1</ver><b", 2,
            "L"},
        {"greedy version", "<WELOR><ver>b15032013</ver>b7</ver><link>L</link></WELOR>", "WELOR",
            unreadableVersion, "L"},
        {"greedy middle", "<A><ver>1</ver><link>L1</link></A><link>L2</link></A>", "A", 1, "L2"},
        // A backtracking matcher with a step limit gave up on this one.
        {"200 closing ver tags in version and link",
            line("A", "</ver>" + QString("</ver>").repeated(99) + "1",
                "http://x/" + QString("</ver>").repeated(100) + QString(1188, 'a') + ".dll"),
            "A", 0, "http://x/" + QString("</ver>").repeated(100) + QString(1188, 'a') + ".dll"},
    };
    for (const auto &row : rows)
        QTest::newRow(row.tag) << row.text << row.name << row.version << row.link;
}

void TestUpdateListFormat::matchingLine()
{
    QFETCH(QString, text);
    const std::optional<UpdateListLine> parsed = parseUpdateListLine(text);
    QVERIFY(parsed);
    QTEST(parsed->name, "name");
    QTEST(parsed->entry.version, "version");
    QTEST(parsed->entry.link, "link");
    QVERIFY(parsed->entry.selected);
}

void TestUpdateListFormat::refusedLine_data()
{
    QTest::addColumn<QString>("text");

    const QString good = line("A", "1", "L");
    QTest::newRow("upper-case VER") << "<A><VER>1</VER><link>L</link></A>";
    QTest::newRow("upper-case LINK") << "<A><ver>1</ver><LINK>L</LINK></A>";
    QTest::newRow("blank before") << " " + good;
    QTest::newRow("blank after") << good + " ";
    QTest::newRow("line feed after") << good + "\n";
    QTest::newRow("no closing element") << "<A><ver>1</ver><link>L</link>";
    QTest::newRow("no link") << "<A><ver>1</ver></A>";
    QTest::newRow("empty") << "";
}

void TestUpdateListFormat::refusedLine()
{
    QFETCH(QString, text);
    QVERIFY(!parseUpdateListLine(text));
}

void TestUpdateListFormat::integrity_data()
{
    QTest::addColumn<QString>("middle");
    QTest::addColumn<bool>("hasSha");
    QTest::addColumn<QString>("shaText");
    QTest::addColumn<bool>("shaValid");
    QTest::addColumn<bool>("hasSize");
    QTest::addColumn<QString>("sizeText");
    QTest::addColumn<qint64>("size"); // -1: not a byte count

    const QString shaElement = "<sha256>" + sha + "</sha256>";
    const QString shortSha = sha.left(63);
    const std::nullopt_t absent = std::nullopt;
    const struct
    {
        const char *tag;
        QString middle;
        std::optional<QString> sha;
        bool shaValid;
        std::optional<QString> size;
        qint64 sizeValue;
    } rows[] = {
        {"neither", "", absent, false, absent, -1},
        {"sha then size", shaElement + "<size>1024</size>", sha, true, "1024", 1024},
        {"size then sha", "<size>0</size>" + shaElement, sha, true, "0", 0},
        {"among other elements", "<a>x</a><size>7</size><b/>", absent, false, "7", 7},
        {"sha too short", "<sha256>" + shortSha + "</sha256>", shortSha, false, absent, -1},
        {"sha not hex", "<sha256>" + shortSha + "g</sha256>", shortSha + "g", false, absent, -1},
        {"empty elements", "<sha256></sha256><size></size>", "", false, "", -1},
        {"size not a number", "<size>12a</size>", absent, false, "12a", -1},
        {"negative size", "<size>-1</size>", absent, false, "-1", -1},
        {"size too long", "<size>1234567890123456789</size>", absent, false, "1234567890123456789",
            -1},
        {"upper-case tags ignored", "<SIZE>5</SIZE>", absent, false, absent, -1},
    };
    for (const auto &row : rows) {
        QTest::newRow(row.tag) << row.middle << row.sha.has_value() << row.sha.value_or(QString())
                               << row.shaValid << row.size.has_value()
                               << row.size.value_or(QString()) << row.sizeValue;
    }
}

void TestUpdateListFormat::integrity()
{
    QFETCH(QString, middle);
    QFETCH(bool, hasSha);
    QFETCH(QString, shaText);
    QFETCH(bool, shaValid);
    QFETCH(bool, hasSize);
    QFETCH(qint64, size);

    const std::optional<UpdateListLine> parsed
        = parseUpdateListLine(line("Raporty", "12", "http://h.example/r.dll", middle));
    QVERIFY(parsed);
    QCOMPARE(parsed->entry.link, QStringLiteral("http://h.example/r.dll"));
    // Read once with the line: a value that is there but malformed fails the file.
    const FileIntegrity &integrity = parsed->entry.integrity;
    QCOMPARE(integrity.sha256, hasSha && shaValid ? shaText.toLatin1().toLower() : QByteArray());
    QCOMPARE(integrity.size.value_or(-1), hasSize ? size : -1);
    QCOMPARE(integrity.malformed, (hasSha && !shaValid) || (hasSize && size < 0));
}

void TestUpdateListFormat::patchElements_data()
{
    QTest::addColumn<QString>("middle");
    QTest::addColumn<QStringList>("links"); // of the elements taken, in order

    const QString f = QString(64, 'a');
    const QString p = QString(64, 'B');
    const auto patch = [&](const QString &attributes, const QString &link) {
        return "<patch " + attributes + ">" + link + "</patch>";
    };
    const QString good = "from=\"" + f + "\" sha256=\"" + p + "\" size=\"42\"";
    const QString link = "http://host/x.patch";
    QTest::newRow("one, between the others") << "<sha256>" + f + "</sha256>" + patch(good, link)
            + "<size>9</size>" << QStringList {link};
    QTest::newRow("two, https") << patch(good, link) + patch(good, "https://h:8/y")
                                << QStringList {link, "https://h:8/y"};
    QTest::newRow("attributes in another order")
        << patch("sha256=\"" + p + "\" from=\"" + f + "\" size=\"42\"", link) << QStringList();
    QTest::newRow("single quotes")
        << patch(QString(good).replace('"', '\''), link) << QStringList();
    QTest::newRow("two blanks") << patch(QString(good).replace(' ', "  "), link) << QStringList();
    QTest::newRow("63 digits") << patch(QString(good).replace(f, f.left(63)), link)
                               << QStringList();
    QTest::newRow("size not decimal")
        << patch(QString(good).replace("42", "0x2a"), link) << QStringList();
    // Resolved against the list's URL by the run.
    QTest::newRow("relative link") << patch(good, "ab/x.patch") << QStringList {"ab/x.patch"};
    QTest::newRow("other scheme") << patch(good, "file://host/x.patch") << QStringList();
    QTest::newRow("no host") << patch(good, "http:///x.patch") << QStringList();
    QTest::newRow("unclosed, then a good one")
        << "<patch " + good + ">" + link + patch(good, link) << QStringList {link};
}

void TestUpdateListFormat::patchElements()
{
    QFETCH(QString, middle);
    QFETCH(QStringList, links);

    const std::optional<UpdateListLine> line
        = parseUpdateListLine("<A><ver>1</ver>" + middle + "<link>http://h/a</link></A>");
    QVERIFY(line);
    QStringList taken;
    for (const PatchOffer &offer : line->entry.patches) {
        QCOMPARE(offer.from, QByteArray(64, 'a'));
        QCOMPARE(offer.sha256, QByteArray(64, 'b'));
        QCOMPARE(offer.size, 42);
        taken.append(offer.link);
    }
    QCOMPARE(taken, links);
}

void TestUpdateListFormat::lines_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("empty file") << QByteArray() << QStringList();
    QTest::newRow("LF") << QByteArray("a\nb\n") << QStringList {"a", "b"};
    QTest::newRow("CR LF") << QByteArray("a\r\nb\r\n") << QStringList {"a", "b"};
    QTest::newRow("mixed, last open") << QByteArray("a\r\nb\nc") << QStringList {"a", "b", "c"};
    QTest::newRow("blank lines") << QByteArray("a\n\r\n\nb\n") << QStringList {"a", "", "", "b"};
    QTest::newRow("CR CR LF") << QByteArray("a\r\r\nb\r\r\n") << QStringList {"a", "b"};
    QTest::newRow("stray CR inside a line") << QByteArray("a\rb\r\nc\r") << QStringList {"ab", "c"};
    QTest::newRow("only CRs") << QByteArray("\r\r") << QStringList();
    QTest::newRow("undefined Windows-1250 bytes")
        << QByteArray("\x81\x83\x88\x90\x98") << QStringList {QString(5, QChar(0xFFFD))};
    QTest::newRow("Windows-1250") << QByteArray(lodz) + "\r\n\x8C\xAF\x8F\xB9\xEA\x9C\xE6\xF1\xBF"
                                  << QStringList {
                                         QStringLiteral("Łódź"), QStringLiteral("ŚŻŹąęśćńż")};
}

void TestUpdateListFormat::lines()
{
    QFETCH(QByteArray, bytes);
    QTEST(updateListLines(bytes), "expected");
}

void TestUpdateListFormat::parseList()
{
    const QByteArray list = QByteArray("<B><ver>1</ver><link>b1</link></B>\r\n"
                                       "not a list line\r\n"
                                       "\r\n"
                                       "<a><ver>2</ver><link>a</link></a>\r\n")
        + "<" + lodz + "><ver>3</ver><link>l</link></" + lodz + ">\r\n"
        + "<B><ver>4</ver><link>b2</link></B>";
    const QMap<QString, UpdateEntry> entries
        = parseUpdateList(list).value_or(QMap<QString, UpdateEntry>());
    QCOMPARE(entries.keys(), (QStringList {"B", "a", QStringLiteral("Łódź")}));
    QCOMPARE(entries.value("B").version, 4u);
    QCOMPARE(entries.value("B").link, QStringLiteral("b2"));
    QCOMPARE(entries.value("a").link, QStringLiteral("a"));
    QCOMPARE(entries.value(QStringLiteral("Łódź")).version, 3u);
    QVERIFY(parseUpdateList(QByteArray("garbage\n\n"))->isEmpty());
}

void TestUpdateListFormat::entryLimit_data()
{
    QTest::addColumn<int>("names");
    QTest::addColumn<int>("rounds"); // the list repeats all its names this often
    QTest::addColumn<bool>("accepted");

    const int limit = int(maxUpdateListEntries);
    QTest::newRow("at the limit") << limit << 1 << true;
    QTest::newRow("one name over") << limit + 1 << 1 << false;
    QTest::newRow("repeated names count once") << limit << 3 << true;
    QTest::newRow("far over") << 20 * limit << 1 << false;
}

void TestUpdateListFormat::entryLimit()
{
    QFETCH(int, names);
    QFETCH(int, rounds);
    QFETCH(bool, accepted);

    QByteArray list;
    for (int round = 0; round < rounds; ++round) {
        for (int i = 0; i < names; ++i)
            list += "<c" + QByteArray::number(i) + "><ver>" + QByteArray::number(round + 1)
                + "</ver><link>l</link></c>\n";
    }
    const std::optional<QMap<QString, UpdateEntry>> entries = parseUpdateList(list);
    QCOMPARE(entries.has_value(), accepted);
    if (accepted) {
        QCOMPARE(entries->size(), names);
        QCOMPARE(entries->value("c0").version, quint32(rounds));
    }
}

void TestUpdateListFormat::lengthLimit()
{
    const qsizetype padding = maxUpdateListLineLength - line("A", "1", "").size();
    const QString atLimit = line("A", "1", QString(padding, QLatin1Char('x')));
    QCOMPARE(atLimit.size(), maxUpdateListLineLength);
    QVERIFY(parseUpdateListLine(atLimit));
    QVERIFY(!parseUpdateListLine(line("A", "1", QString(padding + 1, QLatin1Char('x')))));
}

void TestUpdateListFormat::pathologicalLine_data()
{
    QTest::addColumn<QString>("text");
    // Every delimiter occurs over and over but the line never closes: a backtracking matcher
    // tries each combination of them before it gives up.
    const QString unit = QStringLiteral("<a><ver></ver><link></link></");
    QTest::newRow("1 MiB") << "<" + unit.repeated(1024 * 1024 / unit.size());
    const QString atLimit = "<" + unit.repeated(maxUpdateListLineLength / unit.size());
    QTest::newRow("at the limit") << atLimit.leftJustified(maxUpdateListLineLength, 'x');
}

void TestUpdateListFormat::pathologicalLine()
{
    QFETCH(QString, text);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!parseUpdateListLine(text));
    qDebug() << text.size() << "characters refused in" << timer.elapsed() << "ms";
}

void TestUpdateListFormat::sameAsBacktrackingMatcher_data()
{
    QTest::addColumn<int>("shape");
    QTest::newRow("pieces in random order") << 0;
    QTest::newRow("well-formed, delimiters inside the texts") << 1;
    QTest::newRow("well-formed, one piece cut out or put in") << 2;
}

void TestUpdateListFormat::sameAsBacktrackingMatcher()
{
    QFETCH(int, shape);
    // The grammar as a backtracking matcher, without a step limit: on these short lines it
    // always finishes.
    const QRegularExpression grammar(
        QStringLiteral("\\A<(.*)><ver>(.*)</ver>(.*)<link>(.*)</link></.*>\\z"));
    QRandomGenerator random(20261208u + quint32(shape));
    int matched = 0;
    int differences = 0;
    QString firstDifference;
    for (int i = 0; i < 40000; ++i) {
        QString text;
        if (shape == 0) {
            text = randomText(random, 16);
            if (random.bounded(4) != 0)
                text = "<" + text + ">";
        } else {
            text = wellFormedLine(random);
            if (shape == 2) {
                const int at = random.bounded(int(text.size()));
                if (random.bounded(2))
                    text.remove(at, 1 + random.bounded(6));
                else
                    text.insert(at, randomText(random, 1));
            }
        }
        const QRegularExpressionMatch expected = grammar.match(text);
        const std::optional<UpdateListLineParts> parts = matchUpdateListLine(text);
        bool same = !parts;
        if (expected.hasMatch()) {
            same = parts && parts->name == expected.capturedView(1)
                && parts->version == expected.capturedView(2)
                && parts->middle == expected.capturedView(3)
                && parts->link == expected.capturedView(4);
        }
        matched += expected.hasMatch();
        if (!same && differences++ == 0)
            firstDifference = text;
    }
    QVERIFY2(differences == 0,
        qPrintable(
            QString::number(differences) + " differences, the first on: " + firstDifference));
    // Both outcomes were tried, many times.
    QVERIFY2(matched >= 20 && matched <= 40000 - 20, qPrintable(QString::number(matched)));
}

void TestUpdateListFormat::windows1250AgainstQt()
{
    QStringDecoder decoder("windows-1250");
    if (!decoder.isValid())
        QSKIP(
            "This Qt has no Windows-1250 converter (built without ICU) to compare the table with");
    const QList<int> undefined = {0x81, 0x83, 0x88, 0x90, 0x98};
    for (int byte = 0; byte < 256; ++byte) {
        const QByteArray bytes(1, char(byte));
        const QString expected
            = undefined.contains(byte) ? QString(QChar(0xFFFD)) : QString(decoder.decode(bytes));
        QVERIFY2(decodeWindows1250(bytes) == expected,
            qPrintable(QString::asprintf("byte 0x%02X", byte)));
    }
}

QTEST_GUILESS_MAIN(TestUpdateListFormat)
#include "tst_updatelistformat.moc"
