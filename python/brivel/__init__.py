"""brivel: hand work from a Python program to remote Linux VMs of a cloud service.

The native core lives in three extension modules, each imported on its own:
``brivel.workspace``, ``brivel.spillbox`` and ``brivel.overflow``.
"""

__version__ = "0.1.0"
