// Reads an INF file with the setup API and prints what the Wine tests check.
//
//   inf_query FILE SECTION...
//
// Prints "class NAME GUID" (SetupDiGetINFClassA), then for each section "[SECTION] N" with its
// line count and each line as "KEY=FIELD1|FIELD2|..." (KEY empty for a line without one).
// A section the file lacks prints "[SECTION] missing". Exits non-zero if the file cannot be
// opened as a Windows NT INF, with the line the parser stopped at.
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <string>

namespace {

std::string Field(INFCONTEXT* line, DWORD index) {
    char text[1024];
    if (!SetupGetStringFieldA(line, index, text, sizeof text, nullptr)) return std::string();
    return text;
}

void PrintSection(HINF inf, const char* section) {
    const LONG count = SetupGetLineCountA(inf, section);
    if (count < 0) {
        std::printf("[%s] missing\n", section);
        return;
    }
    std::printf("[%s] %ld\n", section, count);
    for (LONG index = 0; index < count; ++index) {
        INFCONTEXT line;
        if (!SetupGetLineByIndexA(inf, section, index, &line)) {
            std::printf("line %ld unreadable: %lu\n", index, GetLastError());
            continue;
        }
        std::string text = Field(&line, 0) + "=";
        const DWORD fields = SetupGetFieldCount(&line);
        for (DWORD field = 1; field <= fields; ++field) {
            if (field > 1) text += "|";
            text += Field(&line, field);
        }
        std::printf("%s\n", text.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: inf_query FILE SECTION...\n");
        return 2;
    }
    UINT error_line = 0;
    HINF inf = SetupOpenInfFileA(argv[1], nullptr, INF_STYLE_WIN4, &error_line);
    if (inf == INVALID_HANDLE_VALUE) {
        std::printf("SetupOpenInfFileA failed: %lu at line %u\n", GetLastError(), error_line);
        return 1;
    }
    GUID guid;
    char class_name[64];
    if (SetupDiGetINFClassA(argv[1], &guid, class_name, sizeof class_name, nullptr)) {
        std::printf("class %s {%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}\n", class_name,
                    guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                    guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
                    guid.Data4[7]);
    } else {
        std::printf("class unreadable: %lu\n", GetLastError());
    }
    for (int index = 2; index < argc; ++index) PrintSection(inf, argv[index]);
    SetupCloseInfFile(inf);
    return 0;
}
