#include "LogEvent.h"

#include "PublicU.h"

TLogPane PaneOfColour(quint32 colour) {
    return colour == clYellow ? TLogPane::Traffic : TLogPane::Events;
}

TLogEvent LogEvent(TLogKind kind, TLogPane pane, const QString &text, quint32 colour) {
    TLogEvent event;
    event.kind = kind;
    event.pane = pane;
    event.text = text;
    event.colour = colour;
    return event;
}

TLogEvent NoteEvent(const QString &text, quint32 colour) {
    return LogEvent(TLogKind::Note, PaneOfColour(colour), text, colour);
}

void TCommInfoHint::operator()(const QString &text, quint32 colour) const {
    if (handler_)
        handler_(NoteEvent(text, colour));
}
