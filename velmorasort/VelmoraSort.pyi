import multiprocessing as multiprocessing
from typing import Any, Dict, List, SupportsFloat, TypeVar

# Any list whose items convert to float: list[int], list[float], list[bool]...
_Number = TypeVar("_Number", bound=SupportsFloat)

__test__: Dict[str, Any]

def sort(input_list: List[_Number]) -> List[float]:
    """
    Sorts a list of numbers using a high-speed single-threaded bucket sort.
    """

def supersort(input_list: List[_Number], num_threads: int = -1) -> List[float]:
    """
    Sorts a list of numbers using a multithreaded bucket sort.

    Args:
        input_list (list): The list of floats/integers to sort.
        num_threads (int): The number of threads to use.
                             -1 (default) uses all available CPU cores.
    """
