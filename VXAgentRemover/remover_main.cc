// VXAgentRemover.exe: the agent's uninstaller service.
#include "VXAgentRemover/remover_service.h"

int main() { return vxremover::RemoverMain(); }
