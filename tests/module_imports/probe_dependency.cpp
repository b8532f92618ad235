// A DLL of ours that a probe module imports.
extern "C" __declspec(dllexport) int ProbeDependency() { return 1; }
