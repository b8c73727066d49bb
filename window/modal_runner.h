#pragma once

#include <QDialog>
#include <functional>

namespace kestrel {

// How a dialog is shown modally: by default QDialog::exec(), whose own loop keeps
// serving timer ticks, serial notifications and the worker's requests. Tests put
// in a runner that answers the dialog (or drives it and then runs exec), so no
// dialog ever waits for a person.
using ModalRunner = std::function<int(QDialog&)>;

inline int ExecModal(QDialog& dialog) { return dialog.exec(); }

}  // namespace kestrel
