// Helpers for the tests that drive the window: its input boxes filled from one text, and its message boxes recorded.
#pragma once

#include "MainWindow.h"
#include "ProbeInterface.h"
#include "platform/MessageBoxes.h"

#include <QLineEdit>

namespace Harness {

// The window's input boxes in the order fill() takes them: octets, From, To, retries, time-out.
inline QList<QLineEdit *> inputs(const MainWindow &w)
{
    return {w.txtIP[0], w.txtIP[1], w.txtIP[2], w.txtIPScan[0], w.txtIPScan[1], w.txtPingRetries, w.txtPingTO};
}

// Sets the input boxes from texts such as "127|0|0|1|41|1|100".
inline void fill(const MainWindow &w, const QString &texts)
{
    const QStringList values = texts.split(u'|');
    for (int i = 0; i < values.size(); ++i)
        inputs(w)[i]->setText(values[i]);
}

} // namespace Harness

// The message boxes recorded and answered at once with answer (OK unless set; a question's OK is no Yes).
struct RecordingBoxes : MessageBoxes {
    struct Box { QString text; int style; QString title; bool windowModal; };
    QList<Box> boxes;
    int answer = Pelorin::MsgBox::AnswerOK;
    void open(const QString &text, int style, const QString &title, std::function<void(int)> reply,
              bool windowModal) override
    {
        boxes.append({text, style, title, windowModal});
        reply(answer);
    }
};
