// The varnelix program: the application object and the framework's entry.
#include "console/ExerciserApp.h"
#include "res/varnelix_res.h"

CExerciserApp theApp;

int main(int argc, char** argv) {
  vx::fw::SetResourceModule(&vx::res::VarnelixResources());
  return AfxWinMain(argc, argv);
}
