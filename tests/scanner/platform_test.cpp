// The scanner's platform pieces: reading a shell text as a web address, and
// the message-box channel. Nothing is ever handed to a browser here.
#include "BrowserOpener.h"
#include "PelorinInterface.h"
// The probe server has a header of the same name, found first on the test's include path.
#include "MessageBoxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

namespace M = Pelorin::MsgBox;

namespace {

struct RecordingChannel : MessageBoxes {
    int show(const QString &text, int style, const QString &title) override
    {
        shown.append({text, QString::number(style), title});
        return M::AnswerYes;
    }
    QList<QStringList> shown;
};

// Waits for the modal box, records what it shows and presses a button.
void answerNextBox(QMessageBox::StandardButton press, QMessageBox::Icon *icon, QString *text, QWidget **parent,
                   int triesLeft = 500)
{
    QTimer::singleShot(10, qApp, [=] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box) {
            if (triesLeft > 0)
                answerNextBox(press, icon, text, parent, triesLeft - 1);
            return;
        }
        *icon = box->icon();
        *text = box->text();
        *parent = box->parentWidget();
        if (QAbstractButton *button = box->button(press))
            button->click();
        else
            box->reject();
    });
}

} // namespace

class PlatformTest : public QObject
{
    Q_OBJECT

private slots:
    void urlFromShellText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("url"); // empty: refused

        QTest::newRow("backslashes") << "http:\\\\127.0.0.5" << "http://127.0.0.5";
        QTest::newRow("slashes") << "http://127.0.0.5" << "http://127.0.0.5";
        QTest::newRow("capital scheme") << "HTTP:\\\\127.0.0.5" << "http://127.0.0.5";
        QTest::newRow("no host") << "http:\\\\" << "";
        QTest::newRow("file") << "file:\\\\\\etc\\passwd" << "";
        QTest::newRow("other scheme") << "javascript:alert(1)" << "";
        QTest::newRow("blank in host") << "http:\\\\127.0.0.5 x" << "";
        QTest::newRow("empty") << "" << "";
    }

    void urlFromShellText()
    {
        QFETCH(QString, text);
        QFETCH(QString, url);
        const QUrl got = BrowserOpener::urlFromShellText(text);
        if (url.isEmpty())
            QVERIFY2(!got.isValid(), qPrintable(got.toString()));
        else
            QCOMPARE(got.toString(), url);
    }

    void installedChannelTakesTheBoxes()
    {
        RecordingChannel recorder;
        MessageBoxes::install(&recorder);
        const int answer = MessageBoxes::current().show(QStringLiteral("Sure?"), M::YesNo | M::Question,
                                                             QStringLiteral("Lanterra"));
        MessageBoxes::install(nullptr);

        QCOMPARE(answer, M::AnswerYes);
        QCOMPARE(recorder.shown.size(), 1);
        QCOMPARE(recorder.shown[0], (QStringList{"Sure?", QString::number(M::YesNo | M::Question), "Lanterra"}));
        QVERIFY(&MessageBoxes::current() != &recorder);
    }

    void defaultChannelShowsAModalBox_data()
    {
        QTest::addColumn<int>("style");
        QTest::addColumn<int>("press");
        QTest::addColumn<int>("icon");
        QTest::addColumn<int>("answer");

        QTest::newRow("information, OK") << M::Information << int(QMessageBox::Ok) << int(QMessageBox::Information)
                                         << M::AnswerOK;
        QTest::newRow("critical, OK") << M::Critical << int(QMessageBox::Ok) << int(QMessageBox::Critical)
                                      << M::AnswerOK;
        QTest::newRow("exclamation, OK") << M::Exclamation << int(QMessageBox::Ok) << int(QMessageBox::Warning)
                                         << M::AnswerOK;
        QTest::newRow("question, Yes") << (M::YesNo | M::Question) << int(QMessageBox::Yes)
                                       << int(QMessageBox::Question) << M::AnswerYes;
        QTest::newRow("question, No") << (M::YesNo | M::Question) << int(QMessageBox::No)
                                      << int(QMessageBox::Question) << M::AnswerNo;
    }

    void defaultChannelShowsAModalBox()
    {
        QFETCH(int, style);
        QFETCH(int, press);
        QFETCH(int, icon);
        QFETCH(int, answer);

        QWidget window;
        window.show();
        MessageBoxes::setParentWindow(&window);
        QMessageBox::Icon shownIcon = QMessageBox::NoIcon;
        QString shownText;
        QWidget *shownParent = nullptr;
        answerNextBox(QMessageBox::StandardButton(press), &shownIcon, &shownText, &shownParent);
        const int got = MessageBoxes::current().show(QStringLiteral("Scan range is incorrect."), style,
                                                          QStringLiteral("Lanterra"));
        MessageBoxes::setParentWindow(nullptr);

        QCOMPARE(got, answer);
        QCOMPARE(int(shownIcon), icon);
        QCOMPARE(shownText, QStringLiteral("Scan range is incorrect."));
        QCOMPARE(shownParent, &window);
    }
};

QTEST_MAIN(PlatformTest)
#include "platform_test.moc"
