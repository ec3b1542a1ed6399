#include "app/request.h"

#include <QtTest>

// Expected requests follow from the command line's rules: the mode as a number (0 when it is
// none), the target after it, the result path from the last argument.
class RequestTest : public QObject {
    Q_OBJECT

private slots:
    // Guards against a result path that misses or doubles the ".json" ending, a target taken from
    // the wrong place, or a mode read wrongly.
    void parse_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("result");
        QTest::newRow("plain") << QStringList{"p", "2", "a.bin", "out"} << 2 << "a.bin" << "out.json";
        QTest::newRow("upper case kept") << QStringList{"p", "2", "a.bin", "OUT.JSON"} << 2 << "a.bin" << "OUT.JSON";
        QTest::newRow("mixed case kept") << QStringList{"p", "2", "a.bin", "o.Json"} << 2 << "a.bin" << "o.Json";
        QTest::newRow("json inside") << QStringList{"p", "2", "a.bin", "report.json.txt"} << 2 << "a.bin"
                                     << "report.json.txt.json";
        QTest::newRow("three arguments") << QStringList{"p", "1", "a.bin"} << 1 << "a.bin" << "a.bin.json";
        QTest::newRow("trailing separator") << QStringList{"p", "3", "/d/"} << 3 << "/d/" << "/d/.json";
        QTest::newRow("mode alone") << QStringList{"p", "3"} << 3 << "" << "3.json";
        QTest::newRow("not a number") << QStringList{"p", "abc", "a", "r"} << 0 << "a" << "r.json";
        QTest::newRow("past 32 bits") << QStringList{"p", "4294967296", "a", "r"} << 0 << "a" << "r.json";
        QTest::newRow("negative") << QStringList{"p", "-1", "a", "r"} << -1 << "a" << "r.json";
        QTest::newRow("upper-case suffix of non-ASCII name") << QStringList{"p", "2", "a", "\u00e9T.JSON"} << 2 << "a" << "\u00e9T.JSON";
        QTest::newRow("extra arguments") << QStringList{"p", "0", "a", "b", "r"} << 0 << "a" << "r.json";
    }
    void parse()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, mode);
        QFETCH(QString, target);
        QFETCH(QString, result);
        std::vector<std::string> bytes;
        for (const QString &argument : arguments)
            bytes.push_back(argument.toStdString());
        const std::optional<Request> request = parseRequest(bytes);
        QVERIFY(request);
        QCOMPARE(request->mode, mode);
        QCOMPARE(QString::fromStdString(request->target), target);
        QCOMPARE(QString::fromStdString(request->resultPath), result);
    }

    // Guards against a run without a mode being taken for mode 0.
    void noMode()
    {
        QVERIFY(!parseRequest({"p"}));
        QVERIFY(!parseRequest({}));
    }
};

QTEST_GUILESS_MAIN(RequestTest)
#include "request_test.moc"
