// The error-code table: a "code.xml" as it may stand on disk, then lookups with a code, a sub code
// and an extra text taken from the input (pieces separated by zero bytes). A load that fails
// leaves the table empty; a lookup never fails, and with an unknown key gives the plain form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "CErrorCodeTable.h"
#include "FuzzSupport.h"

using orvane_fuzz::Check;
using orvane_fuzz::TakePiece;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = orvane_fuzz::ScratchFile("code.xml");
    orvane_fuzz::WriteWhole(path, TakePiece(data, size));
    const std::string codeText = TakePiece(data, size);
    const std::string sub = TakePiece(data, size);
    const std::string extra = TakePiece(data, size);

    // A table that held entries before loses them when the next file does not load.
    static const std::string known = [] {
        const std::string file = orvane_fuzz::ScratchFile("known.xml");
        orvane_fuzz::WriteWhole(file, "<code><err id=\"1\" value=\"a %s b\"/></code>");
        return file;
    }();
    CErrorCodeTable table;
    Check(table.LoadFile(known.c_str()) && table.Size() == 1);
    if (!table.LoadFile(path.c_str()))
        Check(table.Size() == 0);

    const long code = std::strtol(codeText.c_str(), nullptr, 10);
    table.GetErrorText(code, sub.c_str(), extra.c_str());
    table.GetErrorText(code, nullptr, extra.c_str());
    table.GetErrorText(code, "", nullptr);
    CErrorCodeTable empty;
    const CAutoString plain = empty.GetErrorText(code, sub.c_str(), extra.c_str());
    Check(plain == CAutoString((std::string("错误码：") + std::to_string(code)).c_str()));
    return 0;
}
