"""
SealedCell 管理器（预留模块）。

本模块预留给 2.0 及以后版本的全加密存储模型 SealedCell 的管理器；1.0 版本不使用本模块的任何内容。
1.0 版本的交互模型是存储模型的 VaultEntry，1.0 版本的加密逻辑是 RuleSealer（rule_sealer 模块）。

Reserved for the manager of SealedCell, the full-encryption storage model of version 2.0
and later. Version 1.0 uses none of this module's content: its interaction model is the
storage model's VaultEntry and its encryption logic is the rule sealer (RuleSealer).
"""



class SealedCellManager:
    """
    SealedCell 管理器（2.0+ 版本）。

    Manager of SealedCell, the full-encryption model of version 2.0 and later.
    预留类型，1.0 版本禁止使用 / must not be used in version 1.0.
    """

    def __init__(self) -> None:
        """An empty manager; it offers only what every object offers."""

    def __getstate__(self) -> object:
        """
        The instance's attributes, as object.__getstate__ gives a plain object's.
        """
