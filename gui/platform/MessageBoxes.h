// The scanner's modal message boxes and its save dialog. The window and the
// probe server's reports both go through the installed channel; tests install
// one that records the boxes and answers them, and name the file the next
// save dialog answers with.
#pragma once

#include <QString>

#include <functional>

class QWidget;

class MessageBoxes
{
public:
    virtual ~MessageBoxes() = default;
    // style and answer use the values of Pelorin::MsgBox.
    virtual int show(const QString &text, int style, const QString &title) = 0;
    // The same box without blocking: reply gets the answer once it is given.
    // By default the answer of show().
    virtual void open(const QString &text, int style, const QString &title, std::function<void(int)> reply)
    {
        reply(show(text, style, title));
    }

    static MessageBoxes &current();
    // Null restores the default (QMessageBox with the main window as parent).
    static void install(MessageBoxes *channel);
    static void setParentWindow(QWidget *window);

    // The file the operator picks to save to, starting at suggested; empty
    // when cancelled. After setNextSavePath the next call answers that path
    // without showing a dialog.
    static QString saveFileName(const QString &title, const QString &suggested, const QString &filter);
    static void setNextSavePath(const QString &path);
};
