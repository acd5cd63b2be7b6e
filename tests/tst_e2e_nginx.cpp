// A whole update against Debian's nginx, the kind of static server the update list and the
// component files are published on: real HTTP framing, keep-alive, sendfile and a real 404.

#include "dialog/updatedialog.h"
#include "dialogflow.h"
#include "nginx.h"
#include "testutil.h"

#include <QCryptographicHash>
#include <QStringEncoder>
#include <QtTest>

#include <memory>

namespace {

const QByteArray formerBytes = "former plugin bytes, must survive the 404\n";
constexpr qint64 bigSize = qint64(64) << 20;

QByteArray patternBlock(int blockIndex, int size)
{
    QByteArray block(size, Qt::Uninitialized);
    quint32 x = 2654435761u * quint32(blockIndex + 1);
    for (int i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        block[i] = char(x >> 24);
    }
    return block;
}

// Writes the big component block by block so it never sits in memory whole; returns its digest.
QByteArray writeBigFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const int blockSize = 1 << 20;
    for (int i = 0; i < bigSize / blockSize; ++i) {
        const QByteArray block = patternBlock(i, blockSize);
        if (file.write(block) != block.size())
            return {};
        hash.addData(block);
    }
    return hash.result().toHex();
}

QByteArray sha256Of(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return "<unreadable>";
    return hash.result().toHex();
}

QStringList accessLog(const QString &path)
{
    return QString::fromUtf8(readFile(path)).split('\n', Qt::SkipEmptyParts);
}

} // namespace

class TestE2eNginx : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void wholeUpdate();
};

void TestE2eNginx::wholeUpdate()
{
    TemporaryWorkingDirectory temp;
    QVERIFY(temp.isValid());
    const QString root = temp.path() + "/www";
    const QString install = temp.path() + "/install";
    QVERIFY(QDir().mkpath(root + "/pliki"));
    QVERIFY(QDir().mkpath(install + "/plugins"));

    const QByteArray mainBytes = patternBlock(1, 3 << 20);
    const QByteArray pluginBytes = patternBlock(2, 300000);
    QVERIFY(writeFile(root + "/pliki/welor.exe", mainBytes));
    QVERIFY(writeFile(root + "/pliki/raporty.dll", pluginBytes));
    const QByteArray bigSha = writeBigFile(root + "/pliki/mapy.dat");
    QVERIFY(!bigSha.isEmpty());

    QVERIFY(writeFile(install + "/welor.exe", "old main product"));
    QVERIFY(writeFile(install + "/plugins/raporty.dll", "old plug-in"));
    QVERIFY(writeFile(install + "/plugins/brakujacy.dll", formerBytes));

    Nginx nginx(temp.path());
    const QString why = nginx.start(root);
    if (!why.isEmpty())
        QFAIL(qPrintable("nginx could not be started, so nothing was tested: " + why));

    // Published the way the main product's publishers do it: Windows-1250, CR LF, a Polish
    // name, and integrity data on the line of the big file.
    const QString files = nginx.baseUrl() + "/pliki/";
    const QString list = "<WELOR><ver>2.5b15032013</ver><link>" + files
        + "welor.exe</link></WELOR>\r\n" + "<Raporty><ver>200</ver><link>" + files
        + "raporty.dll</link></Raporty>\r\n" + "<Mapy Śląska><ver>300</ver><sha256>"
        + QString::fromLatin1(bigSha.toUpper()) + "</sha256><size>" + QString::number(bigSize)
        + "</size><link>" + files + "mapy.dat</link></Mapy Śląska>\r\n"
        + "<Brakujący><ver>400</ver><link>" + files + "brakujacy.dll</link></Brakujący>\r\n";
    QStringEncoder encoder("windows-1250");
    QVERIFY(encoder.isValid());
    const QByteArray listBytes = encoder.encode(list);
    QVERIFY(!encoder.hasError());
    QVERIFY(writeFile(root + "/aktualizacje.txt", listBytes));

    QVERIFY(QDir::setCurrent(install));

    UpdateDialog dialog(nullptr, nginx.baseUrl());
    dialog.setUpdatePublicKey({});
    dialog.parseArguments({"aktualizator", "WELOR::2.4b01012013", "Raporty::100", "detached"});
    dialog.show();
    DialogFlow::toSelection(&dialog, 20000);
    if (QTest::currentTestFailed())
        return;
    QStringList boxTexts;
    for (QCheckBox *box : DialogProbe::checkBoxes(&dialog)) {
        boxTexts.append(box->text());
        QVERIFY2(box->isChecked(), qPrintable(box->text()));
    }
    QCOMPARE(boxTexts, QStringList({"Brakujący", "Mapy Śląska", "Raporty", "WELOR"}));

    DialogProbe::nextButton(&dialog)->click();
    DialogFlow::waitForEnd(&dialog, 120000);
    QCOMPARE(DialogProbe::statusText(&dialog), problemsText);

    QCOMPARE(readFile("welor.exe"), mainBytes);
    QCOMPARE(readFile("plugins/raporty.dll"), pluginBytes);
    QCOMPARE(QFileInfo("plugins/mapy.dat").size(), bigSize);
    QCOMPARE(sha256Of("plugins/mapy.dat"), bigSha);
    QCOMPARE(readFile("plugins/brakujacy.dll"), formerBytes);
    // No temporary file left behind, nothing written anywhere else.
    QCOMPARE(treeOf("."),
        QStringList({"plugins", "plugins/brakujacy.dll", "plugins/mapy.dat", "plugins/raporty.dll",
            "welor.exe"}));

    // nginx writes a line when it has finished a response; give the last one a moment.
    const QStringList expected {"GET /aktualizacje.txt 200", "GET /pliki/brakujacy.dll 404",
        "GET /pliki/mapy.dat 200", "GET /pliki/raporty.dll 200", "GET /pliki/welor.exe 200"};
    QTRY_COMPARE_WITH_TIMEOUT(accessLog(nginx.accessLogPath()).size(), expected.size(), 5000);
    QCOMPARE(accessLog(nginx.accessLogPath()), expected);
}

QTEST_MAIN(TestE2eNginx)
#include "tst_e2e_nginx.moc"
