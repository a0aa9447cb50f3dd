// Stands in for the sibling executable: records how it was started and ends.
#include "tests/standins/StandinRecord.hpp"

int main(int argc, char** argv) { return Quillmark::Standins::RecordStart(argc, argv); }
