#include "app/QuillmarshApp.h"

int main(int argc, char** argv) {
    return QuillmarshApp::main(argc, argv);
}
