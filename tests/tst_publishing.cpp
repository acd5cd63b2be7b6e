#include "buildconfig.h"
#include "download/patchdecoder.h"
#include "download/targetpath.h"
#include "testutil.h"
#include "updatelist/listsignature.h"
#include "updatelist/updatelistformat.h"
#include "updatelist/updaterlist.h"
#include "version/version.h"

#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QUuid>

#include <memory>

namespace {

const QString listName = QStringLiteral("aktualizacje.txt");
const QString signatureName = QStringLiteral("aktualizacje.txt.sig");
const QString defaultBase = QStringLiteral("https://aktualizacje.example/pliki");

using Run = ProgramRun;

Run makeList(const QStringList &arguments)
{
    return runProgram(QStringLiteral(MAKE_LIST_SCRIPT), arguments);
}

QByteArray printedPublicKey(const QByteArray &out)
{
    const QList<QByteArray> lines = out.split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("UPDATE_PUBLIC_KEY="))
            return line.mid(int(qstrlen("UPDATE_PUBLIC_KEY="))).trimmed();
    }
    return {};
}

struct Component
{
    QString name;
    QString version;
    QString file;
    QByteArray content;
    quint32 value;
};

struct Refusal
{
    const char *title;
    QString line;
    QString complaint;
};

// Manifest lines the generator must refuse, each with a text its complaint names.
QList<Refusal> refusalCases()
{
    return {
        {"name with <", "a<b 1 a.dll", "a<b"},
        {"name with >", "a>b 1 a.dll", "a>b"},
        {"name with a control character", "a\x01z\t1\ta.dll", "U+0001"},
        {"name outside Windows-1250", "Ωmega 1 a.dll", "Windows-1250"},
        {"name listed twice", "Dobry 2 a.dll", "twice"},
        // WELOR's NAME::VERSION arguments are split at the first "::".
        {"name with ::", "Pod::Modul 1 a.dll", "::"},
        {"name ending in a colon", "Modul: 1 a.dll", "Modul:"},
        {"file linked from outside the folder", "Link 1 link.dll", "outside"},
        {"WELOR without b", "WELOR 15032013 a.dll", "\"15032013\""},
        {"WELOR with upper-case B", "WELOR 2.4B15032013 a.dll", "2.4B15032013"},
        {"WELOR 31 February", "WELOR b31022013 a.dll", "31022013"},
        {"WELOR 29 February of a common year", "WELOR 1b29022013 a.dll", "29022013"},
        {"WELOR seven digits", "WELOR b1503201 a.dll", "1503201"},
        {"WELOR month 13", "WELOR b15132013 a.dll", "15132013"},
        {"WELOR 1969", "WELOR b31121969 a.dll", "b31121969"},
        // Local midnight lies before the epoch east of Greenwich, which the updater reads as
        // an unreadable date.
        {"WELOR 1 January 1970", "WELOR b01011970 a.dll", "b01011970"},
        {"WELOR 2106", "WELOR b01012106 a.dll", "b01012106"},
        {"number with a letter", "Raporty 12a a.dll", "12a"},
        {"negative number", "Minus -1 a.dll", "-1"},
        {"number with a sign", "Plus +1 a.dll", "+1"},
        {"number beyond 32 bits", "Duzy 4294967296 a.dll", "4294967296"},
        {"missing file", "Brak 1 brak.dll", "brak.dll"},
        // Which file names make-list takes is fileNames()'s; this one shows that it asks.
        {"file naming a Windows device", "Device 1 nul.dll", "nul.dll"},
        {"two fields", "Dwa 1", "NAME VERSION FILE"},
    };
}

using Versions = QMap<QString, quint32>;

} // namespace

Q_DECLARE_METATYPE(Versions)

class TestPublishing : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void listRoundTripsThroughUpdater();
    void patchesRoundTrip();
    void unsignedListDropsOutdatedSignature();
    void acceptedBoundaries_data();
    void acceptedBoundaries();
    void refusals_data();
    void refusals();
    void componentCap_data();
    void componentCap();
    void fileNames_data();
    void fileNames();
    void refusedBaseUrl_data();
    void refusedBaseUrl();
    void refusesKeyOfAnotherType();
    void refusesBadValidity();
    void updaterList();

private:
    QString generateKey(const QString &algorithm);
    // Writes the manifest beside a folder that holds a.dll.
    bool writeManifest(const QByteArray &manifest, const QByteArray &aDll = "a");

    std::unique_ptr<QTemporaryDir> dir;
    QString folder;
    QString manifestPath;
    QStringList fileNamesToCheck;
    QHash<QString, QJsonValue> fileNameVerdicts;
    std::unique_ptr<Run> refusalRun;
    std::unique_ptr<QTemporaryDir> refusalDir;
    QString refusalFolder;
    QString refusalManifest;
};

void TestPublishing::initTestCase()
{
#ifdef Q_OS_WIN
    QSKIP("scripts/make-list is a Python script for the publisher's Linux machine");
#endif
    QVERIFY2(QFileInfo(QStringLiteral(MAKE_LIST_SCRIPT)).isExecutable(), MAKE_LIST_SCRIPT);
    const Run help = makeList({QStringLiteral("--help")});
    QVERIFY2(help.finished && help.exitCode == 0, qPrintable(help.err));
    QVERIFY(help.out.contains("NAME"));
}

void TestPublishing::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    folder = dir->filePath(QStringLiteral("pliki"));
    QVERIFY(QDir().mkpath(folder));
    manifestPath = dir->filePath(QStringLiteral("manifest.txt"));
}

bool TestPublishing::writeManifest(const QByteArray &manifest, const QByteArray &aDll)
{
    return writeFile(folder + QStringLiteral("/a.dll"), aDll) && writeFile(manifestPath, manifest);
}

QString TestPublishing::generateKey(const QString &algorithm)
{
    const QString path = dir->filePath(algorithm + QStringLiteral("-")
        + QUuid::createUuid().toString(QUuid::Id128) + QStringLiteral(".pem"));
    const Run openssl = runProgram(QStringLiteral("openssl"),
        {QStringLiteral("genpkey"), QStringLiteral("-algorithm"), algorithm, QStringLiteral("-out"),
            path});
    if (!openssl.finished || openssl.exitCode != 0) {
        qWarning("openssl genpkey failed: %s", qPrintable(openssl.err));
        return {};
    }
    return path;
}

void TestPublishing::patchesRoundTrip()
{
    // a.dll changed a little: a patch. b.dll is the same: none. c.dll changed everywhere: a
    // patch would not be smaller than half the file, so none either.
    const QByteArray oldA = randomBytes(200000, 1);
    QByteArray newA = oldA;
    newA.replace(5000, 100, randomBytes(100, 2));
    const QString previous = dir->filePath(QStringLiteral("poprzednie"));
    QVERIFY(QDir().mkpath(previous));
    for (const auto &[name, before, now] : {std::tuple {"a.dll", oldA, newA},
             std::tuple {"b.dll", randomBytes(1000, 3), randomBytes(1000, 3)},
             std::tuple {"c.dll", randomBytes(50000, 4), randomBytes(50000, 5)}}) {
        QVERIFY(writeFile(previous + QLatin1Char('/') + name, before));
        QVERIFY(writeFile(folder + QLatin1Char('/') + name, now));
    }
    QVERIFY(writeFile(manifestPath, "A 1 a.dll\nB 1 b.dll\nC 1 c.dll\n"));

    const Run result = makeList({folder, defaultBase, manifestPath, QStringLiteral("--previous"),
        previous, QStringLiteral("--previous"), previous});
    QVERIFY2(result.finished && result.exitCode == 0, qPrintable(result.err));
    const std::optional<QMap<QString, UpdateEntry>> entries
        = parseUpdateList(readFile(folder + QLatin1Char('/') + listName));
    QVERIFY(entries);
    QVERIFY(entries->value("B").patches.isEmpty());
    QVERIFY(entries->value("C").patches.isEmpty());
    const QList<PatchOffer> patches = entries->value("A").patches;
    QCOMPARE(patches.size(), 1);
    const QString patchName = "a.dll." + QString::fromLatin1(sha256Hex(oldA)) + ".patch";
    QCOMPARE(patches.at(0).from, sha256Hex(oldA));
    QCOMPARE(patches.at(0).link, defaultBase + QLatin1Char('/') + patchName);
    const QByteArray patch = readFile(folder + QLatin1Char('/') + patchName);
    QCOMPARE(patches.at(0).size, patch.size());
    QCOMPARE(patches.at(0).sha256, sha256Hex(patch));

    QByteArray decoded(newA.size(), Qt::Uninitialized);
    PatchDecoder decoder;
    QVERIFY(decoder.open(previous + QStringLiteral("/a.dll"),
        reinterpret_cast<uchar *>(decoded.data()), decoded.size()));
    qsizetype used = 0;
    QCOMPARE(decoder.decode(patch.constData(), patch.size(), &used, decoded.size()),
        PatchDecoder::Step::Ended);
    QCOMPARE(used, patch.size());
    QVERIFY(decoded == newA);
}

void TestPublishing::listRoundTripsThroughUpdater()
{
    QByteArray large(300 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < large.size(); ++i)
        large[i] = char((i * 7919) >> 3);
    const QList<Component> components = {
        {"raporty", "4294967295", "raporty-lc.dll", "lower", 4294967295u},
        {"Żurnal", "7", "żurnal #1 100%.dll", "zurnal", 7},
        {"WELOR", "2.4b15032013b7", "welor.exe", large, localMidnight(2013, 3, 15)},
        {"Księgowość", "1363302000", "Księgowość 2.dll", "ksiegowosc", 1363302000},
        {"Raporty", "0012", "raporty.dll", QByteArray(), 12},
    };
    // Comments, blank lines, blank- and tab-separated lines and both line ends, as people
    // write manifests by hand.
    QByteArray manifest = "# nazwa\twersja\tplik\n\n";
    for (const Component &c : components) {
        if (c.name.contains(QLatin1Char(' ')) || c.file.contains(QLatin1Char(' ')))
            manifest += (c.name + QLatin1Char('\t') + c.version + QStringLiteral("\t\t") + c.file)
                            .toUtf8()
                + "\r\n";
        else
            manifest
                += ("  " + c.name + QStringLiteral("   ") + c.version + QLatin1Char(' ') + c.file)
                       .toUtf8()
                + "\n";
        QVERIFY(writeFile(folder + QLatin1Char('/') + c.file, c.content));
    }
    QVERIFY(writeFile(manifestPath, manifest));
    const QString outDir = dir->filePath(QStringLiteral("serwer"));
    QVERIFY(QDir().mkpath(outDir));
    const QString key = generateKey(QStringLiteral("ed25519"));
    QVERIFY(!key.isEmpty());

    const Run result = makeList({folder, defaultBase + QLatin1Char('/'), manifestPath,
        QStringLiteral("--output-dir"), outDir, QStringLiteral("--key"), key});
    QVERIFY2(result.finished && result.exitCode == 0, qPrintable(result.err));
    QVERIFY(!QFile::exists(folder + QLatin1Char('/') + listName));

    const QByteArray bytes = readFile(outDir + QLatin1Char('/') + listName);
    QVERIFY(bytes.endsWith("\r\n"));
    QCOMPARE(bytes.count('\n'), components.size());
    QCOMPARE(bytes.count("\r\n"), components.size());
    // Windows-1250, not UTF-8: "ę" 0xEA, "ś" 0x9C, "ć" 0xE6, "Ż" 0xAF.
    QVERIFY(bytes.contains("<Ksi\xEAgowo\x9C\xE6>"));
    QVERIFY(bytes.contains("<\xAFurnal>"));

    const QMap<QString, UpdateEntry> entries
        = parseUpdateList(bytes).value_or(QMap<QString, UpdateEntry>());
    const QStringList expectedOrder = {QStringLiteral("Księgowość"), QStringLiteral("Raporty"),
        QStringLiteral("WELOR"), QStringLiteral("raporty"), QStringLiteral("Żurnal")};
    QCOMPARE(entries.keys(), expectedOrder);
    QStringList fileOrder;
    const QStringList lines = updateListLines(bytes);
    for (const QString &line : lines) {
        const std::optional<UpdateListLine> parsed = parseUpdateListLine(line);
        QVERIFY2(parsed, qPrintable(line));
        fileOrder.append(parsed->name);
    }
    QCOMPARE(fileOrder, expectedOrder);

    for (const Component &c : components) {
        const UpdateEntry entry = entries.value(c.name);
        QCOMPARE(entry.version, c.value);
        QVERIFY(!entry.integrity.malformed);
        QCOMPARE(entry.integrity.sha256, sha256Hex(c.content));
        QVERIFY(entry.integrity.size);
        QCOMPARE(entry.integrity.size, std::optional<qint64>(c.content.size()));
        QVERIFY2(entry.link.startsWith(defaultBase + QLatin1Char('/')), qPrintable(entry.link));
        const QUrl url(entry.link, QUrl::StrictMode);
        QVERIFY2(url.isValid(), qPrintable(entry.link));
        QCOMPARE(linkFileName(url), c.file);
        QVERIFY(isSafeFileName(linkFileName(url)));
    }

    const QByteArray publicKey = printedPublicKey(result.out);
    QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z0-9+/]{43}=$"))
                 .match(QString::fromLatin1(publicKey))
                 .hasMatch(),
        result.out.constData());
    const QByteArray signature = readFile(outDir + QLatin1Char('/') + signatureName);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const auto check = [&](const QByteArray &keys, const QByteArray &list, const QDateTime &at) {
        return checkListSignature(keys, list, signature, at);
    };
    QCOMPARE(check(publicKey, bytes, now), ListSignatureCheck::Valid);
    // 90 days by default.
    QCOMPARE(check(publicKey, bytes, now.addDays(89)), ListSignatureCheck::Valid);
    QCOMPARE(check(publicKey, bytes, now.addDays(91)), ListSignatureCheck::Expired);

    for (const qsizetype at : {qsizetype(0), bytes.size() / 2, bytes.size() - 1}) {
        QByteArray tampered = bytes;
        tampered[at] = char(tampered.at(at) ^ 0x01);
        QVERIFY2(check(publicKey, tampered, now) == ListSignatureCheck::Untrusted,
            qPrintable(QString::number(at)));
    }
    QCOMPARE(check(publicKey, bytes + "\r\n", now), ListSignatureCheck::Untrusted);

    // A second key, given twice, signs beside the first: each key alone is trusted, and the
    // repeated key adds no line.
    const QString otherKey = generateKey(QStringLiteral("ed25519"));
    QVERIFY(!otherKey.isEmpty());
    const Run both = makeList({folder, defaultBase, manifestPath, QStringLiteral("-o"), outDir,
        QStringLiteral("-k"), key, QStringLiteral("--key"), otherKey, QStringLiteral("-k"),
        otherKey, QStringLiteral("--valid-days"), QStringLiteral("2")});
    QVERIFY2(both.finished && both.exitCode == 0, qPrintable(both.err));
    const QList<QByteArray> keys = printedPublicKey(both.out).split(';');
    QCOMPARE(keys.size(), 2);
    QCOMPARE(keys.first(), publicKey);
    QCOMPARE(readFile(outDir + QLatin1Char('/') + listName), bytes);
    QCOMPARE(readFile(outDir + QLatin1Char('/') + signatureName).count("\ned25519 "), 2);
    const QByteArray twoSigned = readFile(outDir + QLatin1Char('/') + signatureName);
    for (const QByteArray &one : keys) {
        QCOMPARE(
            checkListSignature(one, bytes, twoSigned, now.addDays(1)), ListSignatureCheck::Valid);
        QCOMPARE(
            checkListSignature(one, bytes, twoSigned, now.addDays(3)), ListSignatureCheck::Expired);
    }
}

void TestPublishing::unsignedListDropsOutdatedSignature()
{
    QVERIFY(writeManifest("A 1 a.dll\n", "abc"));
    QVERIFY(writeFile(folder + QLatin1Char('/') + signatureName, "c3RhbGU="));

    const Run result = makeList({folder, defaultBase, manifestPath});
    QVERIFY2(result.finished && result.exitCode == 0, qPrintable(result.err));
    QVERIFY(printedPublicKey(result.out).isEmpty());
    QVERIFY(!QFile::exists(folder + QLatin1Char('/') + signatureName));
    QCOMPARE(readFile(folder + QLatin1Char('/') + listName),
        QByteArray("<A><ver>1</ver><sha256>"
                   "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad</sha256>"
                   "<size>3</size><link>https://aktualizacje.example/pliki/a.dll</link></A>\r\n"));
}

void TestPublishing::acceptedBoundaries_data()
{
    QTest::addColumn<QString>("manifest");
    QTest::addColumn<Versions>("versions");

    QTest::newRow("first day every zone reads")
        << "WELOR b02011970 a.dll" << Versions {{"WELOR", localMidnight(1970, 1, 2)}};
    QTest::newRow("last day of 2105")
        << "WELOR x.yb31122105 a.dll" << Versions {{"WELOR", localMidnight(2105, 12, 31)}};
    QTest::newRow("29 February of a leap year")
        << "WELOR 2.4b29022012bRC1 a.dll" << Versions {{"WELOR", localMidnight(2012, 2, 29)}};
    QTest::newRow("numbers") << "Zero 0 a.dll\nRaporty 0004294967295 a.dll\nwelor 15032013 a.dll"
                             << Versions {
                                    {"Zero", 0}, {"Raporty", 4294967295u}, {"welor", 15032013}};
}

void TestPublishing::acceptedBoundaries()
{
    QFETCH(QString, manifest);
    QFETCH(Versions, versions);

    QVERIFY(writeManifest(manifest.toUtf8()));

    const Run result = makeList({folder, defaultBase, manifestPath});
    QVERIFY2(result.finished && result.exitCode == 0, qPrintable(result.err));
    const QMap<QString, UpdateEntry> entries
        = parseUpdateList(readFile(folder + QLatin1Char('/') + listName))
              .value_or(QMap<QString, UpdateEntry>());
    QCOMPARE(entries.keys(), versions.keys());
    for (auto it = versions.cbegin(); it != versions.cend(); ++it)
        QCOMPARE(entries.value(it.key()).version, it.value());
}

void TestPublishing::refusals_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("complaint");
    for (const Refusal &refusal : refusalCases())
        QTest::newRow(refusal.title) << refusal.line << refusal.complaint;
}

void TestPublishing::refusals()
{
    QFETCH(QString, line);
    QFETCH(QString, complaint);

    // The generator reports every bad line of a manifest at once, so one run serves all rows.
    if (!refusalRun) {
        // Files the bad lines name, so that only the line itself is at fault.
        for (const QString &name :
            {QStringLiteral("a.dll"), QStringLiteral("dobry.dll"), QStringLiteral("nul.dll")})
            QVERIFY(writeFile(folder + QLatin1Char('/') + name, "x"));
        QVERIFY(writeFile(dir->filePath(QStringLiteral("sekret.txt")), "secret"));
        QVERIFY(QFile::link(QStringLiteral("../sekret.txt"), folder + QStringLiteral("/link.dll")));
        QByteArray manifest = "Dobry 1 dobry.dll\n";
        for (const Refusal &refusal : refusalCases())
            manifest += refusal.line.toUtf8() + '\n';
        refusalManifest = manifestPath;
        QVERIFY(writeFile(refusalManifest, manifest));
        const QString key = generateKey(QStringLiteral("ed25519"));
        QVERIFY(!key.isEmpty());
        refusalRun = std::make_unique<Run>(makeList({folder, defaultBase, refusalManifest,
            QStringLiteral("--key"), key, QStringLiteral("--content-addressed")}));
        refusalFolder = folder;
        // The run's files must outlive the per-row folder.
        refusalDir = std::move(dir);
    }

    QVERIFY(refusalRun->finished);
    QCOMPARE(refusalRun->exitCode, 1);
    QVERIFY(printedPublicKey(refusalRun->out).isEmpty());
    QVERIFY(!QFile::exists(refusalFolder + QLatin1Char('/') + listName));
    QVERIFY(!QFile::exists(refusalFolder + QLatin1Char('/') + signatureName));
    // Nor a copy below its checksum.
    QCOMPARE(QDir(refusalFolder).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList());

    qsizetype lineNumber = 2;
    const QList<Refusal> cases = refusalCases();
    while (lineNumber - 2 < cases.size() && cases.at(lineNumber - 2).line != line)
        ++lineNumber;
    const QString prefix
        = QStringLiteral("make-list: %1:%2: ").arg(refusalManifest).arg(lineNumber);
    const QStringList messages = refusalRun->err.split(QLatin1Char('\n'));
    QStringList forLine;
    for (const QString &message : messages) {
        if (message.startsWith(prefix))
            forLine.append(message);
    }
    QCOMPARE(forLine.size(), 1);
    QVERIFY2(forLine.first().contains(complaint), qPrintable(forLine.first()));
}

void TestPublishing::componentCap_data()
{
    QTest::addColumn<int>("components");
    QTest::newRow("as many as the updater takes") << int(maxUpdateListEntries);
    QTest::newRow("one more") << int(maxUpdateListEntries) + 1;
}

void TestPublishing::componentCap()
{
    QFETCH(int, components);

    QByteArray manifest;
    for (int i = 0; i < components; ++i)
        manifest += "K" + QByteArray::number(i) + " 1 a.dll\n";
    QVERIFY(writeManifest(manifest));

    const Run result = makeList({folder, defaultBase, manifestPath});
    QVERIFY(result.finished);
    const bool refused = components > maxUpdateListEntries;
    QCOMPARE(result.exitCode, refused ? 1 : 0);
    QVERIFY2(!refused || result.err.contains(QString::number(maxUpdateListEntries)),
        qPrintable(result.err));
    // What make-list writes, the updater takes whole.
    QCOMPARE(parseUpdateList(readFile(folder + QLatin1Char('/') + listName))
                 .value_or(QMap<QString, UpdateEntry>())
                 .size(),
        refused ? 0 : components);
}

void TestPublishing::fileNames_data()
{
    fileNamesToCheck = addFileNameRows();
}

void TestPublishing::fileNames()
{
    QFETCH(QString, name);
    QFETCH(bool, safe);

    // make-list's own check, called directly, since a manifest line cannot carry every name
    // (line breaks, tabs, blanks at either end); one run judges them all.
    if (fileNameVerdicts.isEmpty()) {
        QProcess python;
        python.start(QStringLiteral("python3"),
            {QStringLiteral("-c"),
                QStringLiteral("import json, runpy, sys\n"
                               "script = runpy.run_path(sys.argv[1])\n"
                               "verdicts = []\n"
                               "for name in json.load(sys.stdin.buffer):\n"
                               "    try:\n"
                               "        script['check_file_name']('X', name)\n"
                               "        verdicts.append(None)\n"
                               "    except script['Refusal'] as refusal:\n"
                               "        verdicts.append(str(refusal))\n"
                               "print(json.dumps(verdicts))\n"),
                QStringLiteral(MAKE_LIST_SCRIPT)});
        python.write(QJsonDocument(QJsonArray::fromStringList(fileNamesToCheck)).toJson());
        python.closeWriteChannel();
        QVERIFY(python.waitForFinished(60000));
        const QJsonArray verdicts = QJsonDocument::fromJson(python.readAllStandardOutput()).array();
        QVERIFY2(
            verdicts.size() == fileNamesToCheck.size(), python.readAllStandardError().constData());
        for (qsizetype i = 0; i < verdicts.size(); ++i)
            fileNameVerdicts.insert(fileNamesToCheck.at(i), verdicts.at(i));
    }
    const QJsonValue verdict = fileNameVerdicts.value(name);
    QVERIFY2(verdict.isNull() == safe,
        verdict.isNull() ? "make-list takes it" : qPrintable(verdict.toString()));
}

void TestPublishing::refusedBaseUrl_data()
{
    QTest::addColumn<QString>("base");
    QTest::newRow("not http") << QStringLiteral("ftp://aktualizacje.example");
    QTest::newRow("with a query") << QStringLiteral("https://aktualizacje.example/get?f=");
    // Older updaters cannot follow a relative link: only --relative writes one.
    QTest::newRow("a path without --relative") << QStringLiteral("pliki");
}

void TestPublishing::refusedBaseUrl()
{
    QFETCH(QString, base);

    QVERIFY(writeManifest("A 1 a.dll\n"));

    const Run result = makeList({folder, base, manifestPath});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.contains(base), qPrintable(result.err));
    QVERIFY(!QFile::exists(folder + QLatin1Char('/') + listName));
}

void TestPublishing::refusesKeyOfAnotherType()
{
    QVERIFY(writeManifest("A 1 a.dll\n"));
    const QString key = generateKey(QStringLiteral("ed448"));
    QVERIFY(!key.isEmpty());

    const Run result = makeList({folder, defaultBase, manifestPath, QStringLiteral("--key"), key});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.contains(QStringLiteral("Ed25519")), qPrintable(result.err));
    QVERIFY(!QFile::exists(folder + QLatin1Char('/') + listName));
}

void TestPublishing::refusesBadValidity()
{
    QVERIFY(writeManifest("A 1 a.dll\n"));
    const QString key = generateKey(QStringLiteral("ed25519"));
    QVERIFY(!key.isEmpty());
    const QStringList base {folder, defaultBase, manifestPath, QStringLiteral("--valid-days")};
    for (const QStringList &arguments :
        {base + QStringList {QStringLiteral("0"), QStringLiteral("-k"), key},
            base + QStringList {QStringLiteral("30")}}) {
        const Run result = makeList(arguments);
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.err.contains(QStringLiteral("--valid-days")), qPrintable(result.err));
        QVERIFY(!QFile::exists(folder + QLatin1Char('/') + listName));
    }
}

// The new updater unpacked as unzip -d gives it, with the executable built here (which carries
// its release time); the previous one older, with an older plug-in.
void TestPublishing::updaterList()
{
    const QString fresh = dir->filePath(QStringLiteral("nowy"));
    const QString inner = fresh + QStringLiteral("/aktualizator-windows-x64");
    const QString previous = dir->filePath(QStringLiteral("stary"));
    const QString out = dir->filePath(QStringLiteral("serwer"));
    for (const QString &path : {inner + "/platforms", previous + "/platforms", out})
        QVERIFY(QDir().mkpath(path));
    const QByteArray oldPlugin = randomBytes(100000, 1);
    QByteArray newPlugin = oldPlugin;
    newPlugin.replace(500, 50, randomBytes(50, 2));
    QVERIFY(QFile::copy(QStringLiteral(AKTUALIZATOR_PROGRAM), inner + "/aktualizator.exe"));
    QVERIFY(writeFile(inner + "/platforms/qwindows.dll", newPlugin));
    QVERIFY(writeFile(inner + "/Qt6Core.dll", "core"));
    QVERIFY(writeFile(previous + "/platforms/qwindows.dll", oldPlugin));
    const auto oldRelease = [&](const char *stamp) {
        return writeFile(previous + "/aktualizator.exe", QByteArray(stamp, qstrlen(stamp) + 1));
    };
    const QString key = generateKey(QStringLiteral("ed25519"));
    const QStringList arguments {
        "--updater", fresh, defaultBase, "-o", out, "--key", key, "--previous-updater", previous};

    // Refused, with nothing written: an older updater than the one it would replace, no key,
    // a path the component list places.
    QVERIFY(oldRelease("AKTUALIZATOR_RELEASE_TIME=4294967295"));
    QVERIFY(makeList(arguments).exitCode != 0);
    QVERIFY(oldRelease("AKTUALIZATOR_RELEASE_TIME=1000"));
    QVERIFY(makeList(arguments.mid(0, 5)).exitCode != 0);
    QVERIFY(writeFile(inner + "/welor.exe", "w"));
    QVERIFY(makeList(arguments).exitCode != 0);
    QCOMPARE(treeOf(out), QStringList());
    QVERIFY(QFile::remove(inner + "/welor.exe"));

    const Run result = makeList(arguments);
    QVERIFY2(result.finished && result.exitCode == 0, qPrintable(result.err));
    const QByteArray list = readFile(out + "/aktualizator.txt");
    const UpdaterListCheck check = checkUpdaterList(printedPublicKey(result.out), list,
        readFile(out + "/aktualizator.txt.sig"), QDateTime::currentDateTimeUtc(), 1000);
    QCOMPARE(check.verdict, UpdaterListCheck::Verdict::Accepted);
    QCOMPARE(check.release, releaseTime);
    QStringList published {"aktualizator.txt", "aktualizator.txt.sig"};
    QStringList paths;
    for (const UpdaterFile &file : check.files) {
        paths.append(file.path);
        const QByteArray bytes = readFile(inner + '/' + file.path);
        const QString copy = file.entry.integrity.sha256 + '/' + QFileInfo(file.path).fileName();
        QCOMPARE(file.entry.integrity.sha256, sha256Hex(bytes));
        QCOMPARE(file.entry.link, defaultBase + '/' + copy);
        QCOMPARE(readFile(out + '/' + copy), bytes);
        published << file.entry.integrity.sha256 << copy;
        for (const PatchOffer &patch : file.entry.patches)
            published << patch.sha256 << patch.link.mid(defaultBase.size() + 1);
    }
    QCOMPARE(paths, QStringList({"Qt6Core.dll", "aktualizator.exe", "platforms/qwindows.dll"}));
    QCOMPARE(check.files.at(2).entry.patches.size(), 1);
    QCOMPARE(check.files.at(2).entry.patches.at(0).from, sha256Hex(oldPlugin));
    // Everything it wrote lies below the output folder.
    published.sort();
    QCOMPARE(treeOf(out), published);
}

QTEST_GUILESS_MAIN(TestPublishing)
#include "tst_publishing.moc"
