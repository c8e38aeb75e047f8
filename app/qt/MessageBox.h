// Message boxes as Windows shows them, from the Win32 type value: the button
// set in the low four bits, the icon in the next four, the first button the
// default. Answers are the Win32 values (OK 1, Cancel 2, Yes 6, No 7).
#pragma once

#include <QString>
#include <string>

class QMessageBox;
class QWidget;

// Text with CR LF (or a lone CR, or a lone LF) as line breaks, for display.
QString MessageText(const std::string& strText);

// Fills a box for the given type: caption, text, icon, buttons.
void SetUpMessageBox(QMessageBox& box, const std::string& strText, unsigned nType);

// Runs a modal box owned by pOwner (its own nested loop) and returns the answer.
int RunMessageBox(QWidget* pOwner, const std::string& strText, unsigned nType);
