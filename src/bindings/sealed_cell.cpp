// zeq.domain.crypto_layer.sealed_cell: the name reserved for the full-encryption model's manager.
#include <nanobind/nanobind.h>

#include "bindings/host.hpp"

namespace nb = nanobind;

namespace {

struct SealedCellManager {};

}  // namespace

ZEQ_MODULE(sealed_cell, m) {
    m.doc() = "SealedCell 管理器（预留模块）。\n\n"
              "本模块预留给 2.0 及以后版本的全加密存储模型 SealedCell 的管理器；1.0 版本不使用本模块的任何内容。\n"
              "1.0 版本的交互模型是存储模型的 VaultEntry，1.0 版本的加密逻辑是 RuleSealer（rule_sealer 模块）。\n\n"
              "Reserved for the manager of SealedCell, the full-encryption storage model of version 2.0\n"
              "and later. Version 1.0 uses none of this module's content: its interaction model is the\n"
              "storage model's VaultEntry and its encryption logic is the rule sealer (RuleSealer).";

    // A plain object: attributes, weak references, pickle and copy as any object has them.
    nb::class_<SealedCellManager> manager(m, "SealedCellManager", nb::dynamic_attr(), nb::is_weak_referenceable(),
                                          "SealedCell 管理器（2.0+ 版本）。\n\n"
                                          "Manager of SealedCell, the full-encryption model of version 2.0 and later.\n"
                                          "预留类型，1.0 版本禁止使用 / must not be used in version 1.0.");
    zeq::host::def_plain_state(manager);
    manager.def(nb::init<>(), "An empty manager; it offers only what every object offers.");
}
