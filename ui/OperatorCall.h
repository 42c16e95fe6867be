// Waits in a window for the answer of an operator service call. The event
// loop keeps turning meanwhile (painting, the links where they share the
// thread), but the operator's input waits, so that the window acts on its
// answers in the order it asked.
#pragma once

#include <QEventLoop>

#include <optional>

// `call(answer)` starts the call with `answer` as its callback.
template <class R, class Call> R AwaitAnswer(Call call) {
    std::optional<R> result;
    QEventLoop loop;
    call([&](const R &r) {
        result = r;
        loop.quit();
    });
    while (!result)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    return *result;
}
