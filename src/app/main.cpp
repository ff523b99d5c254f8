#include "app/process_entry.h"

int main(int argc, char** argv) { return morvane::ProcessEntry::main(argc, argv, morvane::EmbeddedWeb::files()); }
