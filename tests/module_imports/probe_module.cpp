// Deliberately wrong modules, which the module check must reject. One
// imports a DLL of ours; the other exports its entry as a __stdcall function
// marked __declspec(dllexport) with no .def file, which MinGW exports
// decorated, as GetOutputPluginTable@0.
#ifdef LODRA_PROBE_USE_DEPENDENCY
extern "C" __declspec(dllimport) int ProbeDependency();

extern "C" __declspec(dllexport) int GetOutputPluginTable() { return ProbeDependency(); }
#else
extern "C" __declspec(dllexport) int __stdcall GetOutputPluginTable() { return 1; }
#endif
