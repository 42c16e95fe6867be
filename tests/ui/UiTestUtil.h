// Helpers of the window tests: answering modal message boxes.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

namespace uitest {

// Answers the next modal message box with the given button and records its
// text (when `text` is given).
inline void AnswerNextQuestion(QMessageBox::StandardButton answer, QString *text = nullptr) {
    QTimer::singleShot(0, [answer, text] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box) {
            AnswerNextQuestion(answer, text);
            return;
        }
        if (text)
            *text = box->text();
        box->button(answer)->click();
    });
}

} // namespace uitest
