// Seeds: lists of the shapes the package builder writes.
#include <string>

#include "fuzz/support/seed_writer.h"

int main(int argc, char** argv) {
  const std::string dir = kestra::fuzz::SeedDirectory(argc, argv);
  kestra::fuzz::WriteSeed(dir, "delete", "data\\old.dat\r\ngone.txt\r\n  spaced name.txt  \r\n");
  kestra::fuzz::WriteSeed(dir, "move", "data/sub/added.txt >> data\r\na.dat >> backup\\x\r\n");
  kestra::fuzz::WriteSeed(dir, "dots", "a/../b.dat\n./c.dat >> d/../e\n..\\x >> y\n");
  kestra::fuzz::WriteSeed(dir, "nul", std::string("keep.dat\0.old\nm >> d\0ir\n", 24));
  return 0;
}
