// The scanner's message boxes: QMessageBox by default, or a channel a test installs.
#include "MessageBoxes.h"

#include "PelorinInterface.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>
#include <QWidget>

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

class WidgetMessageBoxes : public MessageBoxes
{
public:
    int show(const QString &text, int style, const QString &title) override
    {
        namespace M = Pelorin::MsgBox;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        switch (style & M::IconMask) {
        case M::Critical: icon = QMessageBox::Critical; break;
        case M::Question: icon = QMessageBox::Question; break;
        case M::Exclamation: icon = QMessageBox::Warning; break;
        case M::Information: icon = QMessageBox::Information; break;
        default: break;
        }
        const bool yesNo = (style & M::ButtonsMask) == M::YesNo;
        const QString caption = title.isEmpty() ? QGuiApplication::applicationDisplayName() : title;

        QMessageBox box(icon, caption, text,
                        yesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok,
                        parentWindow().data());
        box.setDefaultButton(yesNo ? QMessageBox::Yes : QMessageBox::Ok);
        const int pressed = box.exec();
        if (!yesNo)
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
