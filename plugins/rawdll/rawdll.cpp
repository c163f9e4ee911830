// placeholder until the plug-in is written
extern "C" {}
