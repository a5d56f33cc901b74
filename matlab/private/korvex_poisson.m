function counts = korvex_poisson(expected, seed)
%KORVEX_POISSON Poisson samples with the given means, using only rand and randn.
%   Small means are drawn exactly (Knuth's product of uniforms); above SMALL the normal
%   approximation with rounding is within a fraction of a percent of the Poisson law, which is
%   plenty for simulated camera frames and keeps the cost independent of the mean.
%   A non-empty SEED draws from its own generator state and leaves the caller's untouched.

if nargin > 1 && ~isempty(seed)
  saved = rng();
  rng(seed, 'twister');
  counts = korvex_poisson(expected);
  rng(saved);
  return;
end

small = 30;
counts = zeros(size(expected));
low = find(expected < small);
high = find(expected >= small);

mu = expected(high);
counts(high) = max(round(mu + sqrt(mu) .* randn(size(mu))), 0);

limit = exp(-expected(low));
product = rand(size(low));
k = zeros(size(low));
active = find(product > limit);
while ~isempty(active)
  k(active) = k(active) + 1;
  product(active) = product(active) .* rand(size(active));
  active = active(product(active) > limit(active));
end
counts(low) = k;
end
