#include "download/targetpath.h"

#include <QtTest>

class TestTargetPath : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void target_data();
    void target();
};

void TestTargetPath::target_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("target"); // empty: the name is refused

    const struct
    {
        const char *path; // after the server's address
        QString fileName;
        const char *target;
    } rows[] = {
        {"/files/Welor.EXE", "Welor.EXE", "D:/app/Welor.EXE"},
        {"/files/welor.exe.old", "welor.exe.old", "D:/app/welor.exe.old"},
        {"/dl/x/plugin_a.dll", "plugin_a.dll", "D:/app/plugins/plugin_a.dll"},
        {"/setup.zip", "setup.zip", "D:/app/plugins/setup.zip"},
        {"/welor.ex", "welor.ex", "D:/app/plugins/welor.ex"},
        {"/my%20file.dll", "my file.dll", "D:/app/plugins/my file.dll"},
        {"/my file.dll", "my file.dll", "D:/app/plugins/my file.dll"},
        {"/%C5%81%C3%B3d%C5%BA.dll", QStringLiteral("Łódź.dll"), "D:/app/plugins/Łódź.dll"},
        {"/r.dll?v=2&x=/y#frag", "r.dll", "D:/app/plugins/r.dll"},
        // Only the last segment counts, so an encoded slash cannot lead anywhere else.
        {"/..%2F..%2Fwelor.exe", "welor.exe", "D:/app/welor.exe"},
        {"/files/", "", ""},
        {"", "", ""},
        {"/files/..", "..", ""},
        {"/files/%2e%2e", "..", ""},
        {"/files/%2E", ".", ""},
        {"/..%5C..%5Cwelor.exe", "..\\..\\welor.exe", ""},
        {"/..\\..\\welor.exe", "..\\..\\welor.exe", ""},
        {"/C%3Awelor.exe", "C:welor.exe", ""},
        {"/r.dll:evil", "r.dll:evil", ""},
        {"/r.dll%00.txt", QString::fromUtf8("r.dll\0.txt", 10), ""},
        {"/r%0A.dll", "r\n.dll", ""},
        {"/r%7F.dll", "r\x7F.dll", ""},
        {"/r%C2%85.dll", QStringLiteral("r\u0085.dll"), ""},
        // A right-to-left override would make the status line lie about the name.
        {"/a%E2%80%AEexe.dll", QStringLiteral("a\u202Eexe.dll"), ""},
        // Device names that Windows resolves whatever the extension or letter case.
        {"/NUL.dll", "NUL.dll", ""},
        {"/com1.dll", "com1.dll", ""},
        {"/Lpt9", "Lpt9", ""},
        {"/COM0", "COM0", ""},
        {"/lpt0.txt", "lpt0.txt", ""},
        // Windows counts superscript digits as digits here.
        {"/COM%C2%B9", QStringLiteral("COM\u00B9"), ""},
        {"/com%C2%B2.dll", QStringLiteral("com\u00B2.dll"), ""},
        {"/LPT%C2%B3.dll", QStringLiteral("LPT\u00B3.dll"), ""},
        {"/lpt%C2%B9", QStringLiteral("lpt\u00B9"), ""},
        {"/COM%C2%B9%C2%B2.dll", QStringLiteral("COM\u00B9\u00B2.dll"),
            "D:/app/plugins/COM\u00B9\u00B2.dll"},
        {"/conin$", "conin$", ""},
        {"/CONOUT$.dll", "CONOUT$.dll", ""},
        // Windows drops the blanks that end the base name, leaving "NUL".
        {"/NUL%20.txt", "NUL .txt", ""},
        {"/aux%20%20.tar.gz", "aux  .tar.gz", ""},
        {"/COM10.dll", "COM10.dll", "D:/app/plugins/COM10.dll"},
        {"/nul_.dll", "nul_.dll", "D:/app/plugins/nul_.dll"},
        {"/a.nul", "a.nul", "D:/app/plugins/a.nul"},
        {"/console.dll", "console.dll", "D:/app/plugins/console.dll"},
        // The form of the updater's own staging files, which a later run removes.
        {"/x.dll.aktualizator-0a1b2c.tmp", "x.dll.aktualizator-0a1b2c.tmp", ""},
        {"/x.dll.aktualizator-0a1b2.tmp", "x.dll.aktualizator-0a1b2.tmp",
            "D:/app/plugins/x.dll.aktualizator-0a1b2.tmp"},
        {"/a%3Fb.dll", "a?b.dll", ""},
        {"/a%22b%7C.dll", "a\"b|.dll", ""},
        {"/welor.exe.", "welor.exe.", ""},
        {"/welor.exe%20", "welor.exe ", ""},
    };
    for (const auto &row : rows) {
        QTest::addRow("%s", *row.path ? row.path : "no path")
            << QStringLiteral("http://aktualizacje.welor.example") + row.path << row.fileName
            << QString::fromUtf8(row.target);
    }
}

void TestTargetPath::target()
{
    QFETCH(QString, link);
    QFETCH(QString, target);

    const QString name = linkFileName(QUrl(link));
    QTEST(name, "fileName");
    QCOMPARE(isSafeFileName(name), !target.isEmpty());
    if (!target.isEmpty())
        QCOMPARE(targetPath(QStringLiteral("D:/app"), name), target);
}

QTEST_GUILESS_MAIN(TestTargetPath)
#include "tst_targetpath.moc"
