#include "updater/app/app.h"

int main(int argc, char** argv) {
  kestra::app::TheApp().InitInstance(kestra::app::ArgumentText(argc, argv));
  return 0;
}
