#pragma once

#include "base/CUString.h"

#include <functional>

class QDialog;

// Every modal message and every modal dialog run of the program passes through the
// functions below, so that tests can answer them without a person.

// One modal message: an error (OK only) or a question (Yes/No, Yes the default).
struct CMessageRequest {
    bool Question = false;
    CUString Caption;
    CUString Text;
};

// Answers a message: for a question non-zero means Yes; for an error it is ignored.
using MessageHandler = std::function<int(const CMessageRequest&)>;
// Runs a dialog modally and gives its result (1 for OK/accepted, 0 otherwise).
using ModalRunner = std::function<int(QDialog&)>;

// Replace the handlers (an empty function restores the desktop's message box and
// QDialog::exec). Each gives the handler it replaced.
MessageHandler SetMessageHandler(MessageHandler handler);
ModalRunner SetModalRunner(ModalRunner runner);

// A modal error message with the formatted text.
void Error(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A modal question with Yes and No; gives non-zero for Yes.
int AskYesNo(const char* caption, const char* text);
// Runs the dialog modally through the current runner.
int RunModal(QDialog& dialog);
