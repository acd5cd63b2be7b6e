#pragma once

// Tells the main product, which reads our standard output, that it should close now.
// Writes exactly "koniec" with no line end and flushes; a closed or unread output is ignored.
void writeHandOffWord();
