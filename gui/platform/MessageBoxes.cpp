// The scanner's message boxes: QMessageBox by default, or a channel a test installs.
#include "platform/MessageBoxes.h"

#include "ProbeInterface.h"

#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>
#include <QSettings>
#include <QTemporaryDir>
#include <QWidget>

#include <optional>
#include <utility>

namespace {

QPointer<QWidget> &parentWindow()
{
    static QPointer<QWidget> window;
    return window;
}

MessageBoxes *&installedChannel()
{
    static MessageBoxes *channel = nullptr;
    return channel;
}

std::optional<QString> &nextSavePath()
{
    static std::optional<QString> path;
    return path;
}

class WidgetMessageBoxes : public MessageBoxes
{
public:
    // The caller goes on and the event loop runs on; the box answers when the
    // operator closes it. Modeless, the window stays usable (stop works).
    void open(const QString &text, int style, const QString &title, std::function<void(int)> reply,
              bool windowModal) override
    {
        auto *box = new QMessageBox(icon(style), caption(title), text, buttons(style), parentWindow().data());
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setDefaultButton(yesNo(style) ? QMessageBox::Yes : QMessageBox::Ok);
        QObject::connect(box, &QMessageBox::finished, box,
                         [style, reply = std::move(reply)](int pressed) { reply(answer(style, pressed)); });
        box->setWindowModality(windowModal && parentWindow() ? Qt::WindowModal : Qt::NonModal);
        box->show();
    }

private:
    static bool yesNo(int style) { return (style & Pelorin::MsgBox::ButtonsMask) == Pelorin::MsgBox::YesNo; }
    static QMessageBox::StandardButtons buttons(int style)
    {
        return yesNo(style) ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok;
    }
    static QString caption(const QString &title)
    {
        return title.isEmpty() ? QGuiApplication::applicationDisplayName() : title;
    }
    static QMessageBox::Icon icon(int style)
    {
        namespace M = Pelorin::MsgBox;
        switch (style & M::IconMask) {
        case M::Critical: return QMessageBox::Critical;
        case M::Question: return QMessageBox::Question;
        case M::Exclamation: return QMessageBox::Warning;
        case M::Information: return QMessageBox::Information;
        default: return QMessageBox::NoIcon;
        }
    }
    static int answer(int style, int pressed)
    {
        namespace M = Pelorin::MsgBox;
        if (!yesNo(style))
            return M::AnswerOK;
        return pressed == QMessageBox::Yes ? M::AnswerYes : M::AnswerNo;
    }
};

} // namespace

MessageBoxes &MessageBoxes::current()
{
    static WidgetMessageBoxes widgetChannel;
    MessageBoxes *channel = installedChannel();
    return channel ? *channel : widgetChannel;
}

void MessageBoxes::install(MessageBoxes *channel)
{
    installedChannel() = channel;
}

void MessageBoxes::setParentWindow(QWidget *window)
{
    parentWindow() = window;
}

// Qt's own dialog, modal to the window, answering through reply. Qt keeps the
// dialog's history of folders in its settings: those go to a folder of this
// run, removed at its end, so nothing is left under the operator's home.
void MessageBoxes::saveFileName(const QString &title, const QString &suggested, const QString &filter,
                                std::function<void(const QString &)> reply)
{
    if (std::optional<QString> path = std::exchange(nextSavePath(), std::nullopt))
        return reply(*path);
    static QTemporaryDir runSettings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, runSettings.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, runSettings.path());
    auto *dialog = new QFileDialog(parentWindow().data(), title, suggested, filter);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(parentWindow() ? Qt::WindowModal : Qt::ApplicationModal);
    QObject::connect(dialog, &QFileDialog::fileSelected, dialog, std::move(reply));
    dialog->open();
}

void MessageBoxes::setNextSavePath(const QString &path)
{
    nextSavePath() = path;
}
