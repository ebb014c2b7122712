def normalizemsisdn(n, start="62"): return n
def parse_bayar(*a): return None
def get_brand(*a): return None
def get_shortcode(*a): return None
def remove_html_tags(t): return t
