#pragma once

class QLabel;
class QString;
class QWidget;

// Sets a control's text from a printf-style format: a label's, a button's or an
// edit's own text, any other window's title.
void SetWindowFormattedText(QWidget* window, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Sets a label's text when it differs and tells assistive technology that it changed,
// which QLabel does not: a line that changes by itself would otherwise change silently.
void SetLabelText(QLabel* label, const QString& text);
