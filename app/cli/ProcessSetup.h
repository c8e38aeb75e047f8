// What the process needs of its platform before the first run.
#pragma once

// bJson: standard output carries JSON Lines.
void PrepareProcess(bool bJson);
