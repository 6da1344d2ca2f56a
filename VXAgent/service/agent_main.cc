// VXAgent.exe: the agent service.
#include "VXAgent/service/agent_service.h"

int main() { return vxagent::AgentMain(); }
