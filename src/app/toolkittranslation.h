#pragma once

class QCoreApplication;

// The toolkit's own texts (the question box's "Anuluj", among others) in Polish, from the
// toolkit's catalogue built into the program, so that they match the window on every system
// whatever its language. The program's own texts are Polish already and do not change. False
// when the catalogue cannot be read.
bool installToolkitTranslation(QCoreApplication &application);
