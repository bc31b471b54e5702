// The version rules and the answer's lines, without a server.
#include <QLocale>
#include <QtTest>

#include "online/update_check.h"
#include "online/version_rules.h"

using namespace korvid::online;

class VersionRulesTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QLocale::setDefault(QLocale::c()); }

  void leadingNumberIsTheFirstLMinusPCharacters() {
    // 7 − 4 = 3 characters: "2.6".
    QCOMPARE(ReadVersion(QStringLiteral("2.6s-12")).Leading, 2.6);
    QCOMPARE(ReadVersion(QStringLiteral("2.6s-12")).Build, 12);
    // 7 − 5 = 2 characters: "10", not 10.5.
    QCOMPARE(ReadVersion(QStringLiteral("10.5s-3")).Leading, 10.0);
    QCOMPARE(ReadVersion(QStringLiteral("10.5s-3")).Build, 3);
  }

  void tenPointFiveAndTenPointNineAreTheSame() {
    QVERIFY(!IsNewerVersion(QStringLiteral("10.5s-3"), QStringLiteral("10.9s-3")));
  }

  void leadingNumberFollowsTheLocale() {
    QLocale::setDefault(QLocale(QLocale::German));
    QCOMPARE(ReadVersion(QStringLiteral("2,6s-12")).Leading, 2.6);
    QVERIFY_THROWS_EXCEPTION(VersionConversionError, ReadVersion(QStringLiteral("2.6s-12")));
    QLocale::setDefault(QLocale::c());
  }

  void buildNumberIsTheWholeTextWithoutADash() {
    // "12s3": 4 − 3 = 1 character, "1"; no dash, so the whole text is the build number.
    QVERIFY_THROWS_EXCEPTION(VersionConversionError, ReadVersion(QStringLiteral("12s3")));
  }

  void textsThatDoNotConvert() {
    // No "s": the whole text is the leading number.
    QVERIFY_THROWS_EXCEPTION(VersionConversionError, ReadVersion(QStringLiteral("2.6-12")));
    QVERIFY_THROWS_EXCEPTION(VersionConversionError, ReadVersion(QStringLiteral("2.6s-ab")));
    QVERIFY_THROWS_EXCEPTION(VersionConversionError, ReadVersion(QString()));
    // An upper-case "S" is no "s".
    QVERIFY_THROWS_EXCEPTION(VersionConversionError, ReadVersion(QStringLiteral("2.6S-12")));
    QVERIFY_THROWS_EXCEPTION(VersionConversionError, IsNewerVersion(QStringLiteral("2.6s-12"), QStringLiteral("x")));
  }

  void newerOlderEqual() {
    const QString own = QStringLiteral("2.6s-12");
    QVERIFY(IsNewerVersion(own, QStringLiteral("2.7s-12")));
    QVERIFY(IsNewerVersion(own, QStringLiteral("2.6s-13")));
    QVERIFY(!IsNewerVersion(own, QStringLiteral("2.6s-12")));
    QVERIFY(!IsNewerVersion(own, QStringLiteral("2.5s-11")));
    QVERIFY(!IsNewerVersion(own, QStringLiteral("2.6s-11")));
  }

  void eitherTestAloneCountsAsNewer() {
    // A smaller leading number with a greater build number.
    QVERIFY(IsNewerVersion(QStringLiteral("2.6s-12"), QStringLiteral("1.9s-13")));
    // A greater leading number with a smaller build number.
    QVERIFY(IsNewerVersion(QStringLiteral("2.6s-12"), QStringLiteral("3.0s-01")));
  }

  void onlyTheLowEightBitsOfTheBuildCount() {
    // 256 compares as 0: not above 255.
    QCOMPARE(ReadVersion(QStringLiteral("2.60s-256")).Build, 256);
    QVERIFY(!IsNewerVersion(QStringLiteral("2.60s-255"), QStringLiteral("2.60s-256")));
    QVERIFY(IsNewerVersion(QStringLiteral("2.60s-256"), QStringLiteral("2.60s-001")));
    QVERIFY(IsNewerVersion(QStringLiteral("2.60s-000"), QStringLiteral("2.60s-257")));
    // Taken unsigned: -1 is 255, above 12.
    QVERIFY(IsNewerVersion(QStringLiteral("2.6s-12"), QStringLiteral("2.6s--1")));
    QVERIFY(!IsNewerVersion(QStringLiteral("2.6s--1"), QStringLiteral("2.6s-12")));
  }

  void ownVersionIsLowerCasedWithoutBlanks() {
    QCOMPARE(ComparableVersion(QStringLiteral(" 2.6 S-12 ")), QStringLiteral("2.6s-12"));
    QCOMPARE(ReadVersion(ComparableVersion(QStringLiteral("2.6 S-12"))).Leading, 2.6);
  }

  void caseChangesOnlyAsciiLetters() {
    QCOMPARE(AsciiLower(QStringLiteral("KorVID-ÄÖ 数据")), QStringLiteral("korvid-ÄÖ 数据"));
    QCOMPARE(AsciiUpper(QStringLiteral("2.6s-12 äö")), QStringLiteral("2.6S-12 äö"));
  }

  void barsBecomeLines() {
    const QString converted = ConvertAnswer(QStringLiteral("2.7s-12|新功能|http://x/"));
    QCOMPARE(converted, QStringLiteral("2.7s-12\r新功能\rhttp://x/"));
    QCOMPARE(SplitLines(converted), QStringList({"2.7s-12", "新功能", "http://x/"}));
  }

  void linesEndAtCarriageReturnLineFeedOrBoth() {
    QCOMPARE(SplitLines(QStringLiteral("a\r\nb\nc\rd")), QStringList({"a", "b", "c", "d"}));
    QCOMPARE(SplitLines(QStringLiteral("a\r\rb")), QStringList({"a", "", "b"}));
    QCOMPARE(SplitLines(QStringLiteral("a\n\rb")), QStringList({"a", "", "b"}));
    QCOMPARE(SplitLines(QStringLiteral("a|")).size(), 1);
    QCOMPARE(SplitLines(ConvertAnswer(QStringLiteral("a|"))), QStringList({"a"}));
    QCOMPARE(SplitLines(QStringLiteral("\r")), QStringList({""}));
    QVERIFY(SplitLines(QString()).isEmpty());
  }

  void downloadAddressesAreHttpOrHttpsOnly() {
    QCOMPARE(DownloadAddress(QStringLiteral("http://dl.example.com/k.exe")), QUrl("http://dl.example.com/k.exe"));
    QCOMPARE(DownloadAddress(QStringLiteral(" HTTPS://dl.example.com/k.exe ")), QUrl("https://dl.example.com/k.exe"));
    for (const char* bad : {"file:///C:/Windows/system32/cmd.exe", "ftp://dl.example.com/k.exe", "C:\\k.exe",
                            "javascript:alert(1)", "http://", "2.7s-12", "", "http://exa mple.com/"}) {
      QVERIFY2(DownloadAddress(QString::fromUtf8(bad)).isEmpty(), bad);
    }
  }
};

QTEST_GUILESS_MAIN(VersionRulesTest)
#include "version_rules_test.moc"
