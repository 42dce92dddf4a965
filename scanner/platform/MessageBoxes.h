// The scanner's modal message boxes. The window and the probe server's
// reports both go through the installed channel; tests install one that
// records the boxes and answers them.
#pragma once

#include <QString>

class QWidget;

class MessageBoxes
{
public:
    virtual ~MessageBoxes() = default;
    // style and answer use the values of Pelorin::MsgBox.
    virtual int show(const QString &text, int style, const QString &title) = 0;

    static MessageBoxes &current();
    // Null restores the default (QMessageBox with the main window as parent).
    static void install(MessageBoxes *channel);
    static void setParentWindow(QWidget *window);
};
