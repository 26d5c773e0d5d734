#pragma once

#include <QString>

class QWidget;

// Bytes as a control shows them: as UTF-8 when they are valid UTF-8, else as Latin-1 (a
// name from an older file or another player), so that every byte shows as a character
// rather than as a replacement mark.
QString DisplayText(const char* bytes, qsizetype length = -1);

// Sets a control's text from a printf-style format: a label's, a button's or an
// edit's own text, any other window's title.
void SetWindowFormattedText(QWidget* window, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
