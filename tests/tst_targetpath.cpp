#include "download/linkresolution.h"
#include "download/targetpath.h"
#include "testutil.h"

#include <QtTest>

class TestTargetPath : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void target_data();
    void target();
    void fileName_data();
    void fileName();
};

void TestTargetPath::target_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("target"); // empty: the name is refused

    const struct
    {
        const char *path; // after the server's address, or a whole "http:" link
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
        // Split, then decode: an encoded slash stays in the name, which is then refused.
        {"/x%2F..%2F..%2Fwelor.exe", "x/../../welor.exe", ""},
        {"/sub%2Fx.dll", "sub/x.dll", ""},
        {"/files/", "", ""},
        {"", "", ""},
        {"/files/%2e%2e", "..", ""},
        {"/files/%2E", ".", ""},
        {"/..%5C..%5Cwelor.exe", "..\\..\\welor.exe", ""},
        {"/..\\..\\welor.exe", "..\\..\\welor.exe", ""},
        {"/r.dll%00.txt", QString::fromUtf8("r.dll\0.txt", 10), ""},
        // A scheme without a host: no server to ask.
        {"http:x.dll", "x.dll", ""},
        {"http:/files/x.dll", "x.dll", ""},
        {"http:../x.dll", "x.dll", ""},
    };
    for (const auto &row : rows) {
        const QString path = QString::fromUtf8(row.path);
        QTest::addRow("%s", *row.path ? row.path : "no path")
            << (path.startsWith("http:") ? path : "http://aktualizacje.welor.example" + path)
            << row.fileName << QString::fromUtf8(row.target);
    }
}

void TestTargetPath::target()
{
    QFETCH(QString, link);
    QFETCH(QString, target);

    const QString name = linkFileName(QUrl(link));
    QTEST(name, "fileName");
    QCOMPARE(isSafeFileName(name) && isRequestableLink(QUrl(link)), !target.isEmpty());
    if (!target.isEmpty())
        QCOMPARE(targetPath(QStringLiteral("D:/app"), name), target);
}

void TestTargetPath::fileName_data()
{
    addFileNameRows();
}

void TestTargetPath::fileName()
{
    QFETCH(QString, name);
    QTEST(isSafeFileName(name), "safe");
}

QTEST_GUILESS_MAIN(TestTargetPath)
#include "tst_targetpath.moc"
