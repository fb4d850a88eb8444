#pragma once
// Turns a compiler-mangled Pascal-style name ("@Unit@TForm1@Button1Click$qqrp14System@TObject")
// into a readable one ("TForm1.Button1Click", unit "Unit").
#include <string>

namespace corvan::crash {

// True when name was mangled (began with "@"); then name is rewritten in
// place and unit receives the unit name (empty when none was found).
// Other names are left as they are.
bool UnmangleName(std::string& name, std::string& unit);

}  // namespace corvan::crash
