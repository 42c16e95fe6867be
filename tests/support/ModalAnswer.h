// Answers the modal dialogs that the window code under test opens: the next
// modal widget that appears is handed to a callback. Gives up after about
// two seconds so that a dialog that never comes cannot swallow a later one.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QTimer>

#include <functional>

namespace uitest {

inline void OnNextModal(std::function<void(QWidget *)> act, int triesLeft = 200) {
    QTimer::singleShot(10, [act = std::move(act), triesLeft]() mutable {
        QWidget *w = QApplication::activeModalWidget();
        if (!w) {
            if (triesLeft > 0)
                OnNextModal(std::move(act), triesLeft - 1);
            return;
        }
        act(w);
    });
}

// What the next message box said, and the button pressed.
struct BoxSeen {
    QString text;
    QString informativeText;
    QString title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool seen = false;
};

inline void AnswerNextBox(QMessageBox::StandardButton answer, BoxSeen *seen) {
    OnNextModal([answer, seen](QWidget *w) {
        auto *box = qobject_cast<QMessageBox *>(w);
        if (!box)
            return;
        seen->text = box->text();
        seen->informativeText = box->informativeText();
        seen->title = box->windowTitle();
        seen->icon = box->icon();
        seen->seen = true;
        box->button(answer)->click();
    });
}

// Enters the text into the next input box and presses OK (or Cancel).
inline void AnswerNextInput(const QString &text, bool ok, QString *label) {
    OnNextModal([text, ok, label](QWidget *w) {
        auto *input = qobject_cast<QInputDialog *>(w);
        if (!input)
            return;
        *label = input->windowTitle() + '|' + input->labelText();
        input->setTextValue(text);
        if (ok)
            input->accept();
        else
            input->reject();
    });
}

} // namespace uitest
