def test_fault_build_has_hooks(faulty):
    out = faulty.run("""
        import velmorasort.VelmoraSort as m
        m._fault_arm(1, 0)
        try:
            m.sort([3.0, 1.0, 2.0] * 10)
        except MemoryError as e:
            print("MemoryError")
        print(m.sort([2, 1]))
    """)
    assert out.split() == ["MemoryError", "[1.0,", "2.0]"]
