// Layout pieces the console's smaller windows share.
#pragma once

#include <QBoxLayout>
#include <QFont>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QWidget>

#include <initializer_list>

// The windows' font: Tahoma, 13 pixels.
inline void SetWindowFont(QWidget *w) {
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(13);
    w->setFont(font);
}

// A strip of the given height: the input field filling it and, on its right,
// a panel of the given width holding the buttons one under another.
inline QWidget *InputStrip(QWidget *parent, QPlainTextEdit *input, int height, int panelWidth,
                           std::initializer_list<QPushButton *> buttons) {
    auto *panel = new QWidget(parent);
    panel->setFixedWidth(panelWidth);
    auto *panelLayout = new QVBoxLayout(panel);
    panelLayout->setContentsMargins(4, 4, 4, 4);
    for (QPushButton *b : buttons)
        panelLayout->addWidget(b);
    panelLayout->addStretch();
    auto *strip = new QWidget(parent);
    strip->setFixedHeight(height);
    auto *layout = new QHBoxLayout(strip);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(input);
    layout->addWidget(panel);
    return strip;
}
