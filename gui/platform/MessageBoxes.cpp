// The scanner's message boxes: QMessageBox by default, or a channel a test installs.
#include "platform/MessageBoxes.h"

#include "ProbeInterface.h"

#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>
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
    int show(const QString &text, int style, const QString &title) override
    {
        QMessageBox box(icon(style), caption(title), text, buttons(style), parentWindow().data());
        box.setDefaultButton(yesNo(style) ? QMessageBox::Yes : QMessageBox::Ok);
        return answer(style, box.exec());
    }

    // Modeless: the caller goes on and the window stays usable (stop works);
    // the box answers when the operator closes it.
    void open(const QString &text, int style, const QString &title, std::function<void(int)> reply) override
    {
        auto *box = new QMessageBox(icon(style), caption(title), text, buttons(style), parentWindow().data());
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setDefaultButton(yesNo(style) ? QMessageBox::Yes : QMessageBox::Ok);
        QObject::connect(box, &QMessageBox::finished, box,
                         [style, reply = std::move(reply)](int pressed) { reply(answer(style, pressed)); });
        box->setWindowModality(Qt::NonModal);
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

QString MessageBoxes::saveFileName(const QString &title, const QString &suggested, const QString &filter)
{
    if (std::optional<QString> path = std::exchange(nextSavePath(), std::nullopt))
        return *path;
    return QFileDialog::getSaveFileName(parentWindow().data(), title, suggested, filter);
}

void MessageBoxes::setNextSavePath(const QString &path)
{
    nextSavePath() = path;
}
